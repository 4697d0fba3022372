#pragma once
// Messages for the output side's tests: every required field of a message given a plain
// value, so that it validates for sending and a test sets only the fields it is about.
#include "ctimsg/basemsg.h"
#include "ctimsg/element.h"

namespace outtest {

// Sets every required field that is not present: numbers to 0, texts to "1".
inline void FillRequired(BaseMSG& msg) {
    for (BaseElement* e = msg.GetFirstElement(); e != nullptr; e = e->GetNext()) {
        if (!e->IsRequired() || e->IsPresent()) continue;
        if (WriteNumberValue(e, 0)) continue;
        if (auto* text = dynamic_cast<STRINGElement*>(e)) text->Set("1");
    }
}

}  // namespace outtest
