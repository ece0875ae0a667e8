#pragma once
// The change subscribers of input items: a host list of callables in subscription order.
#include "data/item_object.hpp"

namespace tamsel::data {

// The item's list (borrowed), made on first use: the same list from then on, until the item is
// constructed again. Null with an exception set when it cannot be made.
PyObject* subscriber_list(ItemObject* item);

// Appends `callback` unless an equal one (host `==`) is already subscribed.
bool add_subscriber(ItemObject* item, PyObject* callback);

// Removes the first subscriber equal to `callback`, if any.
bool remove_subscriber(ItemObject* item, PyObject* callback);

// Calls every subscriber without arguments, in list order; stops at the first exception, except
// inside a reaction of the master, which keeps it and goes on (binding/reaction.hpp).
bool notify_each_subscriber(ItemObject* item);

// Whether notifying the item calls anybody (and so runs host code).
inline bool has_subscribers(const ItemObject* item) {
    PyObject* subscribers = item->subscribers;
    return subscribers && PyList_GET_SIZE(subscribers) != 0;
}

// The same as notify_each_subscriber; an item nobody subscribed to costs one length check.
inline bool notify_subscribers(ItemObject* item) { return !has_subscribers(item) || notify_each_subscriber(item); }

// Gives the item a new empty list (made when it is first needed).
void reset_subscribers(ItemObject* item);

}  // namespace tamsel::data
