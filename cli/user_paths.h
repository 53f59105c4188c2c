// Paths taken from the user's account rather than the environment.
#pragma once

#include <string>

namespace tesselo {

// A leading "~" becomes the home directory of the password database (HOME is
// not consulted), a leading "~name" that user's home; the rest of the path is
// kept. Any other path, or one naming an unknown user, is returned unchanged.
std::string expandTilde(const std::string& path);

}  // namespace tesselo
