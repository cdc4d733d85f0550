// Looking at the results of Platform::FindMatching and of folder listings
// in tests.
#ifndef STASHWELL_TESTS_SUPPORT_SEARCH_ENTRIES_H_
#define STASHWELL_TESTS_SUPPORT_SEARCH_ENTRIES_H_

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace stashwell {

// The entries' names, sorted.
inline std::vector<std::string> Names(const std::vector<SearchEntry>& entries) {
  std::vector<std::string> names;
  for (const SearchEntry& entry : entries) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

// Names sorted, as Folder::PlainFileNames gives them in the folder's order.
inline std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// The entry of that name, or nullptr.
inline const SearchEntry* Find(const std::vector<SearchEntry>& entries,
                               const std::string& name) {
  for (const SearchEntry& entry : entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

}  // namespace stashwell

#endif  // STASHWELL_TESTS_SUPPORT_SEARCH_ENTRIES_H_
