// The ancestor under which an item whose path is too long for the archive is
// recorded: the longest ancestor directory of `path` (whole components, as
// written) of at most `maxLength` characters; the root when no other fits,
// and "" for a path that does not start with the separator.
#pragma once

#include <cstddef>
#include <string>

std::string FindPermissibleAncestor(const std::string& path, size_t maxLength, char separator);
