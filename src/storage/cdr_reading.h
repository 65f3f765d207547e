// Bounded reads of CDR's variable-length parts, shared by the decoders of
// clouds and of the messages around them.
#pragma once

#include <fastcdr/Cdr.h>

#include <cstddef>
#include <cstdint>
#include <string>

// A string's or sequence's element count, refused (std::runtime_error) when
// that many elements of at least `element_bytes` each cannot fit in what is
// left of the `size` bytes of the message.
std::uint32_t ReadLength(eprosima::fastcdr::Cdr& cdr, std::size_t size, std::size_t element_bytes,
                         const char* what);

// A string, its length checked first; CDR's terminating NUL is dropped.
std::string ReadString(eprosima::fastcdr::Cdr& cdr, std::size_t size, const char* what);
