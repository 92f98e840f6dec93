#pragma once
// The c-client records by their struct names. c-client's own headers define macros that
// would leak into every caller, so the public headers only name the records.
struct mail_envelope;
struct mail_bodystruct;
struct mail_address;
struct mail_body_parameter;
struct string_list;
struct mail_body_part;
struct mail_body_message;
