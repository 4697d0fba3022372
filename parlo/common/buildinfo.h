#pragma once
// The build stamp: the last-write time of the program's own file, in local time.
#include <string>

// Year counted from 1900, month 1 to 12; all six 0 when the file's time cannot be read.
void GetBuildDate(int* year, int* month, int* day, int* hour, int* minute, int* second);
// "MM/DD/YY hh:mm:ss" of the build date.
std::string BuildDateText();
// The release text followed by ", Built MM/DD/YY hh:mm:ss".
std::string BuildText();
