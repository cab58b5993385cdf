#include "app/panels/ScanState.h"

char cScanState = 'Y';
