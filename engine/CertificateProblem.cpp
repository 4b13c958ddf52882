#include "engine/CertificateProblem.h"

#include <wininet.h>

#include "engine/RangeRequest.h"

namespace tessara {

std::string CertificateFaultOf(DWORD error) {
    switch (error) {
        case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
            return "its certificate has expired or is not yet valid";
        case ERROR_INTERNET_SEC_CERT_CN_INVALID:
            return "its certificate is issued to another host name";
        case ERROR_INTERNET_INVALID_CA:
            return "its certificate does not chain to a trusted root";
        case ERROR_INTERNET_SEC_CERT_REVOKED:
            return "its certificate has been revoked";
        case ERROR_INTERNET_SEC_CERT_REV_FAILED:
        case ERROR_INTERNET_SEC_CERT_NO_REV:
            return "whether its certificate was revoked could not be checked";
        case ERROR_INTERNET_SEC_INVALID_CERT:
        case ERROR_INTERNET_SEC_CERT_ERRORS:
            return "its certificate is not valid";
        case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
            return "no secure channel could be agreed with it";
        case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
            return "it asks for a client certificate";
        default:
            return {};
    }
}

std::string DescribeRefusedCertificate(const std::wstring& url) {
    DWORD error = RequestError(url);
    // A chain the system does not trust may fail its revocation check before anything else, where the
    // download service goes on to the next fault: so does this question.
    if (error == ERROR_INTERNET_SEC_CERT_REV_FAILED) {
        const DWORD next = RequestError(url, SECURITY_FLAG_IGNORE_REVOCATION);
        if (!CertificateFaultOf(next).empty()) error = next;
    }
    const std::string fault = CertificateFaultOf(error);
    return fault.empty() ? "its certificate or the secure protocol was refused" : fault;
}

}  // namespace tessara
