#include "stack/queue.h"

void QInit(tagQUEUE *node) {
    node->next = node;
    node->prev = node;
}

void QInsert(tagQUEUE *node, tagQUEUE *head) {
    node->next = head;
    node->prev = head->prev;
    head->prev->next = node;
    head->prev = node;
}

tagQUEUE *QRemove(tagQUEUE *node) {
    tagQUEUE *prev = node->prev;
    node->prev->next = node->next;
    node->next->prev = node->prev;
    QInit(node);
    return prev;
}
