#include "platform/cclient_records.h"

#include "records_release.h"

namespace cli {
void FreeRecords(mail_envelope*& envelope, mail_bodystruct*& body)
{
    if (envelope != nullptr) mail_free_envelope(&envelope);
    if (body != nullptr) mail_free_body(&body);
    envelope = nullptr;
    body = nullptr;
}
}  // namespace cli
