// Item and list lifetimes; the operations on items and lists follow in this file's later sections.
#include "feeds/item_list.h"

namespace nubrel {

FeedItem::~FeedItem() { delete enclosure; }

ItemList::~ItemList() {
  FeedItem* item = first;
  first = nullptr;
  while (item) {
    FeedItem* next = item->next;
    delete item;
    item = next;
  }
}

}  // namespace nubrel
