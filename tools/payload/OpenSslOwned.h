#pragma once
// Owners of OpenSSL objects: each is freed by its own function when its owner goes.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

namespace tessara::payload {

struct OpenSslFree {
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
    void operator()(PKCS7* p) const { PKCS7_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, OpenSslFree>;

}  // namespace tessara::payload
