#pragma once
// The program's name and version, shared by the version resource and the installer package.
#define TESSARA_PRODUCT_NAME "Orvix Tessara"
#define TESSARA_COMPANY_NAME "Orvix Systems Inc."
#define TESSARA_VERSION_NUMBERS 1, 0, 0, 0
#define TESSARA_VERSION_TEXT "1.0.0.0"
