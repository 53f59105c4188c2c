// Creating a folder together with its missing parents, shared by every
// program that makes one.
#pragma once

#include <sys/types.h>

#include <string>

namespace tesselo {

// mkdir -p: each folder created with `mode` (less the umask); folders that
// exist are left as they are. 0 on success, else the errno of the step that
// failed: EEXIST when the path itself is something other than a folder. An
// empty path fails like mkdir("").
int makeFolders(const std::string& path, mode_t mode);

}  // namespace tesselo
