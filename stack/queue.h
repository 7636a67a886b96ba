// Intrusive circular doubly linked list used by the PPP receive queue.
//
// A list is a head node whose links point to itself when empty; nodes are
// embedded at the start of the caller's records. No locking: the owner of the
// list serialises access (the PPP receive queue is guarded by the PPP lock).
#pragma once

struct tagQUEUE {
    tagQUEUE *next;
    tagQUEUE *prev;
};

// Makes node an empty list (linked to itself).
void QInit(tagQUEUE *node);
// Links node in front of head, i.e. at the tail of the list head starts.
void QInsert(tagQUEUE *node, tagQUEUE *head);
// Unlinks node, leaves it self-linked, returns its former predecessor.
tagQUEUE *QRemove(tagQUEUE *node);
