#pragma once
// The process's constant release and build text; never fails.
const char* GetReleaseString();
