#pragma once

#include <openssl/err.h>

namespace softtoken::crypto {

// Failed OpenSSL calls leave entries on the thread's error queue; the host
// application may use OpenSSL too, so each entry point drops what it added.
class ErrorMark {
public:
    ErrorMark() { ERR_set_mark(); }
    ~ErrorMark() { ERR_pop_to_mark(); }
    ErrorMark(const ErrorMark&) = delete;
    ErrorMark& operator=(const ErrorMark&) = delete;
};

} // namespace softtoken::crypto
