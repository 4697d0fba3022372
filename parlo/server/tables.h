#pragma once
// Builds the object-model and session tables the Server's constructor needs, in their one
// fixed order. Once per Server, after the model's ports are installed (the call list asks
// the server for its lock), on the constructing thread before any other thread uses them.
void InitServerTables();
