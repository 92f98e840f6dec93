#pragma once
// Umbrella header of libdlarchive.
#include "dlarchive/archive.h"
#include "dlarchive/archive_errors.h"
#include "dlarchive/cclient_fwd.h"
#include "dlarchive/db_error.h"
#include "dlarchive/encoders.h"
#include "dlarchive/export.h"
#include "dlarchive/logging.h"
#include "dlarchive/parser.h"
#include "dlarchive/record_functions.h"
#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "dlarchive/string_chain.h"
