// De-duplication of the names of one listed folder, so that entries the
// service lists under the same name each get a placeholder of their own.
#pragma once

#include <string>
#include <vector>

#include "client/listing.h"

namespace zem::populate {

// The k-th occurrence's name (k >= 2): stem + " (k)" + extension, where the
// extension is the name from its last dot on — none when that dot is the
// first character, and none for "." and "..".
//   "a.txt" → "a (2).txt", "x" → "x (2)", ".profile" → ".profile (2)".
std::u16string NumberedName(const std::u16string& name, int k);

// Renames in place: folder entries first, then file entries, each in listing
// order, counting occurrences of each exact (case-sensitive) name in one
// table. The first occurrence keeps its name; a later one gets the first
// NumberedName (k = its occurrence number, then k + 1, …) that no listed
// entry and no earlier renamed one has, so a real "a (2).txt" on the
// service is never hidden by a renamed second "a.txt".
void DeduplicateNames(std::vector<FolderEntry>& folders, std::vector<FileEntry>& files);

}  // namespace zem::populate
