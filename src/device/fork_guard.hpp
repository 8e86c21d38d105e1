#pragma once
// What a child made by fork() inherits of the driver. The devices the driver
// opens stay with the process that opened them: in a child each such
// descriptor is pointed at the read end of a pipe with no writer, so the
// child holds neither the device nor its lock (the parent's close frees the
// device for everyone), the inherited object reads it as a line that hung
// up, and the number stays its owner's to close. Objects that must behave
// differently once inherited compare the fork generation they were made in
// with the current one.
#include <cstdint>

namespace ahrs {

// open(2) of `path` with `flags`, placed above descriptor 2 and registered
// before any fork can copy it. -1 with errno set on failure.
int open_parent_only(const char* path, int flags);
// Closes a descriptor from open_parent_only, before any fork can copy it.
void close_parent_only(int fd);

// Grows by one in every child made by fork(), from the first call on.
std::uint64_t fork_generation();

}  // namespace ahrs
