#pragma once
// Installs the sinks of event reporting that live outside its core: console event text,
// the system event log, the event monitor server and the crash handler. Called once at
// process start, before EMSInitialize.
void EMSInstallStandardSinks();
