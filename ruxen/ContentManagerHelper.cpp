#include "ruxen/ContentManagerHelper.h"

#include "mapping/ContentMapper.h"
#include "mapping/DBSnapContentMapper.h"
#include "mapping/SnapFSContentMapper.h"
#include "mapping/WildCardContentMapper.h"

// The mapper types the per-file object uses (RuxenFileMapping.cpp); each
// mapper in use also renews itself on ResetAll.
void ruxen::testcontrol::ResetContentMappers() {
    ContentManagerHelper<ContentMapper>::Renew();
    ContentManagerHelper<SnapFSContentMapper>::Renew();
    ContentManagerHelper<DBSnapContentMapper>::Renew();
    ContentManagerHelper<WildCardContentMapper>::Renew();
}
