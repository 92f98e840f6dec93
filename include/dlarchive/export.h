#pragma once
// Everything in libdlarchive.so is hidden unless marked with DLARCHIVE_API.
#define DLARCHIVE_API __attribute__((visibility("default")))
