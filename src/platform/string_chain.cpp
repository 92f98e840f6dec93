#include "dlarchive/string_chain.h"

#include <cstdlib>
#include <cstring>

int appendString(ms** chain, const char* text)
{
    if (chain == nullptr) return 0;
    ms* element = static_cast<ms*>(std::malloc(sizeof(ms)));
    if (element == nullptr) return 0;
    element->text = strdup(text != nullptr ? text : "");
    element->next = nullptr;
    if (element->text == nullptr) {
        std::free(element);
        return 0;
    }
    ms** tail = chain;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = element;
    return 1;
}

void freeStringChain(ms* chain)
{
    while (chain != nullptr) {
        ms* next = chain->next;
        std::free(chain->text);
        std::free(chain);
        chain = next;
    }
}
