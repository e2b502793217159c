// Internals of the code-page layer that its tests reach directly. Not for other use.
#pragma once

#include <cstddef>

namespace kavar::codepage {

// Pages are built once per name and kept, up to this many names.
inline constexpr std::size_t kMaxCachedPages = 16;

// How many pages are kept now.
std::size_t CachedPageCount();

}  // namespace kavar::codepage
