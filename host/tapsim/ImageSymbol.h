// Reads an image's symbol tables: the full one, so that the simulator can
// watch a variable the image does not export (its State), and the dynamic
// one, to check its imports against the recorder's C library before the
// load.
#pragma once
#include <string>
#include <vector>

// Address of the object `name` in the image loaded from the file open at
// `fd`, with `handle` from dlopen; null when the table or the name is missing
// (a stripped image).
void *FindImageObject(int fd, void *handle, const std::string &name);

// The imports of the image at `imageFd` that neither the recorder's C library
// nor the runtime at `runtimeFd` defines: strong undefined symbols (a weak one
// may stay unresolved).  False with a message when a table cannot be read.
bool ForeignImports(int imageFd, int runtimeFd, std::vector<std::string> *foreign, std::string *err);
