#pragma once
// Installs the server's side of the application's port (parlo/app/appport.h); the port lives
// for the process.
void InstallAppServerPort();
