#pragma once
// Every CTI message class by name, one thin class per catalogue block. Constructors that take
// the two trace flags get (eccTraced, cvTraced); the decoder passes false for both.
#include "ctimsg/messages/msgclass.h"

#define CATALOG_CTOR_NoArgs(Cls) Cls();
#define CATALOG_CTOR_TraceFlags(Cls) Cls(bool eccTraced, bool cvTraced);
#define MSG_BEGIN(type, name, Cls, version, dir, ctor, check, size, layout) \
    class Cls : public CatalogMSG {                                          \
    public:                                                                  \
        CATALOG_CTOR_##ctor(Cls)                                             \
    };
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
#undef CATALOG_CTOR_NoArgs
#undef CATALOG_CTOR_TraceFlags
