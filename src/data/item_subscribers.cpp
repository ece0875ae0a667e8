// Subscriber lists of input items. The list is walked live, as the host's own loops would, so a
// subscriber may subscribe or unsubscribe while it is being notified.
#include "data/item_subscribers.hpp"

#include "binding/reaction.hpp"

namespace tamsel::data {

using binding::Ref;

PyObject* subscriber_list(ItemObject* item) {
    if (!item->subscribers) item->subscribers = PyList_New(0);
    return item->subscribers;
}

bool add_subscriber(ItemObject* item, PyObject* callback) {
    Ref subscribers = Ref::borrow(subscriber_list(item));
    if (!subscribers) return false;
    int present = PySequence_Contains(subscribers.get(), callback);
    if (present < 0) return false;
    return present || PyList_Append(subscribers.get(), callback) == 0;
}

bool remove_subscriber(ItemObject* item, PyObject* callback) {
    Ref subscribers = Ref::borrow(item->subscribers);
    if (!subscribers) return true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subscribers.get()); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(subscribers.get(), i));
        int equal = PyObject_RichCompareBool(entry.get(), callback, Py_EQ);
        if (equal < 0) return false;
        // The slice assignment clamps its bounds, should the comparison have shortened the list.
        if (equal) return PyList_SetSlice(subscribers.get(), i, i + 1, nullptr) == 0;
    }
    return true;
}

bool notify_each_subscriber(ItemObject* item) {
    Ref subscribers = Ref::borrow(item->subscribers);
    if (!subscribers) return true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subscribers.get()); ++i) {
        Ref callback = Ref::borrow(PyList_GET_ITEM(subscribers.get(), i));
        if (!binding::Reaction::run_host_code([&] { return PyObject_CallNoArgs(callback.get()); })) return false;
    }
    return true;
}

void reset_subscribers(ItemObject* item) { Py_CLEAR(item->subscribers); }

}  // namespace tamsel::data
