#pragma once
#include "dlarchive/export.h"

// One element of a string chain: listings and search results travel in these.
struct ms {
    char* text;  // owned by the chain
    ms* next;    // null at the end
};

extern "C" {
// Appends a copy of the text at the end of the chain (an empty chain gets its first
// element). Non-zero on success, zero when memory runs out.
DLARCHIVE_API int appendString(ms** chain, const char* text);
// Releases every element and its text; the empty chain is allowed.
DLARCHIVE_API void freeStringChain(ms* chain);
}
