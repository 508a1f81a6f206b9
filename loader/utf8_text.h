#pragma once
// UTF-8 as both tools take it from file and port names that may be in any encoding.
#include <cstddef>

// Length of the well-formed UTF-8 sequence at text (1 for ASCII), 0 when there is none: a stray
// byte, a cut sequence, an overlong form, a UTF-16 surrogate or a code point past U+10FFFF.
size_t utf8_length(const unsigned char* text, size_t left);
