#pragma once
// Results of the relation store. One enumeration serves the whole system: record
// functions return these values as int, and the encoders throw them (18) when memory
// runs out.

enum dbError {
    db_ok = 0,
    db_notfound = 3,      // "Not found"
    db_range = 4,         // "Not in range"
    db_dup = 9,           // "Duplicate"
    db_notopened = 11,    // "Not opened"
    db_alreadyopen = 13,  // "Already opened"
    db_locked = 14,       // "Locked"
    db_unlocked = 15,     // "Unlocked"
    db_eof = 17,          // "End of file"
    db_nomem = 18,        // no memory
    db_corrupt = 22,      // "Corrupt"
};
