// The index-cache look-up: per-path entries of a subclient's last backups.
#pragma once

class FetchIndexInfo {
public:
    // Adds the given bits to the initialisation flags.
    void setInitFlags(unsigned int flags) { m_initFlags |= flags; }
    unsigned int initFlags() const { return m_initFlags; }

private:
    unsigned int m_initFlags = 0;
};
