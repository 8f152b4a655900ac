// Helpers of the native methods that are worth calling on their own (unit
// tests and the fuzzer call them directly). The native methods themselves are
// declared by the host class in Java and have no C++ declaration here.
//
// Its names are part of the library's exports, listed in build-support/exports/library.txt.
#ifndef TESSALY_BRIDGE_NATIVE_METHODS_H
#define TESSALY_BRIDGE_NATIVE_METHODS_H

#include <cstddef>
#include <string>

#include "crypto/tessaly_api.h"

// Fills a path template: a copy of templ in which each "{}", from left to
// right, is replaced by the next of the count values. A value is copied
// verbatim, byte for byte: nothing is escaped, and a "{}" or "%" inside a
// value is never expanded again. Once the values are used up, any further
// "{}" is copied as it stands; values beyond the last "{}" are ignored. A null
// value counts as the empty string; a null templ gives the empty string.
TESSALY_API std::string fill_template(const char* templ, const char* const* values, std::size_t count);

#endif
