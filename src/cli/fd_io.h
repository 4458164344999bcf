// Whole transfers on file descriptors: retried on interruption and short counts.
#pragma once
#include <cstddef>
#include <string>

// Writes all of buffer; false with errno set on failure.
bool WriteFully(int fd, const void* buffer, size_t size);
// Reads until size bytes or the end of the input; the count read, or -1 with errno set.
long long ReadFully(int fd, void* buffer, size_t size);
// Opens an output file (created or truncated) or standard output for "-"/""; -1 on failure.
int OpenOutput(const std::string& path);
// Opens an input file or standard input for "-"/""; -1 on failure.
int OpenInput(const std::string& path);
