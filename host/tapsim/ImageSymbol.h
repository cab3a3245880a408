// Finds a symbol of a loaded image in its full symbol table, so that the
// simulator can watch a variable the image does not export (its State).
#pragma once
#include <string>

// Address of the object `name` in the image loaded from the file open at
// `fd`, with `handle` from dlopen; null when the table or the name is missing
// (a stripped image).
void *FindImageObject(int fd, void *handle, const std::string &name);
