#include "nuvlib/release.h"

const char* GetReleaseString() { return "Parlo Release 0.1, Build " __DATE__ " " __TIME__; }
