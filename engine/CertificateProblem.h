#pragma once
// What is wrong with a server's certificate, in words. The URL download service says only that it
// refused the certificate; WinINet, asked once more, names the fault.
#include <windows.h>

#include <string>

namespace tessara {

// The fault behind WinINet's error, as "its certificate ..."; empty for an error that is not about
// the secure connection.
std::string CertificateFaultOf(DWORD error);

// Asks the server at url again and says what is wrong with its certificate or its secure connection.
std::string DescribeRefusedCertificate(const std::wstring& url);

}  // namespace tessara
