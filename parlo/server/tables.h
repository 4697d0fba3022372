#pragma once
// Builds the object-model and session tables the Server's constructor needs, in their one
// fixed order.
void InitServerTables();
