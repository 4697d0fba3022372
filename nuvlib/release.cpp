#include "nuvlib/release.h"

const char* GetReleaseString() { return "Release 12.6.1.0 , Build 00071"; }
