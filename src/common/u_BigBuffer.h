#pragma once
// Room for a buffer of many megabytes (a book, a file of its content) backed by the system's
// huge pages where it has them: filling fresh memory then costs one fault per 2 MiB instead
// of one per 4 KiB page, which is most of the time it takes to read a big book into memory.

#include <cstddef>
#include <string>

// Reserves capacity bytes in bytes (as std::string::reserve) and asks for huge pages behind
// them when capacity is big enough to use any.
void ReserveBig(std::string& bytes, size_t capacity);
