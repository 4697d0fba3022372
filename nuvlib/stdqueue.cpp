#include "nuvlib/stdqueue.h"

void StdQueue::Append(void* element) {
    StdQueueLink* link = LinkOf(element);
    link->previous = m_Last;
    link->next = nullptr;
    if (m_Last != nullptr)
        LinkOf(m_Last)->next = element;
    else
        m_First = element;
    m_Last = element;
    ++m_Count;
}

void StdQueue::Prepend(void* element) {
    StdQueueLink* link = LinkOf(element);
    link->previous = nullptr;
    link->next = m_First;
    if (m_First != nullptr)
        LinkOf(m_First)->previous = element;
    else
        m_Last = element;
    m_First = element;
    ++m_Count;
}

void StdQueue::Remove(void* element) {
    StdQueueLink* link = LinkOf(element);
    if (link->previous != nullptr)
        LinkOf(link->previous)->next = link->next;
    else
        m_First = link->next;
    if (link->next != nullptr)
        LinkOf(link->next)->previous = link->previous;
    else
        m_Last = link->previous;
    link->Reset();
    --m_Count;
}

void* StdQueue::RemoveHead() {
    void* element = m_First;
    if (element != nullptr) Remove(element);
    return element;
}

void StdQueue::UnlinkAll() {
    while (RemoveHead() != nullptr) {
    }
    m_Count = 0;
}
