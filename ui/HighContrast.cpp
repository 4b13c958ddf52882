// In a file of its own so that the test build of the program can stand in for the system's answer
// (tests/e2e/TestRunLimits.cpp), to show the window in a high-contrast theme where the system reports
// none.
#include <windows.h>

#include "ui/Painting.h"

namespace tessara {

bool IsHighContrast() {
    HIGHCONTRASTW contrast{};
    contrast.cbSize = sizeof contrast;
    return ::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON);
}

}  // namespace tessara
