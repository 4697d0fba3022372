#pragma once
// Byte order lives in platform/byteorder.h; this name stays only while a file outside
// ctimsg/ still includes it.
#include "platform/byteorder.h"
