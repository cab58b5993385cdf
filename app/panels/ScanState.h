#pragma once
// Process-wide scan state: 'N' while a scan runs and is not paused, 'Y'
// otherwise ('Y' at start). Only the scan rows write it; the play commands
// read it to warn that playing slows a running scan. GUI thread only.

extern char cScanState;
