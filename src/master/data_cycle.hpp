#pragma once
// The Data state's cycle straight through the module's own objects: a valid process-data or
// fail-safe-data reply, taken in one pass instead of through the states' event dispatch.
//
// It runs only where nothing can differ from that dispatch: the handler, its nodes, frames,
// maps and session items are exactly the module's own classes, the state object is exactly a
// StateData, the slave's dynamic map has nothing left to move and the console trace is off.
// Any other reply (another command, connection id or size, a CRC fault) and any other setup
// goes the general way, which reports and reacts to it.
#include "frame/frame_object.hpp"
#include "master/handler_object.hpp"
#include "master/node_object.hpp"

namespace tamsel::master::data_cycle {

enum class Outcome {
    done,      // processed; the next state is installed
    failed,    // an exception is set
    elsewhere  // not a reply this route takes: nothing was changed
};

// Whether the handler is exactly a MasterHandler whose current state is exactly a StateData
// of its own: the Data state's work is then the module's, done on this handler.
bool own_data_state(HandlerObject* self);

// Processes the reply `data` (bytes) up to and including the state change, as the handler's
// general reply processing does for a reply the Data state accepts.
Outcome process_reply(HandlerObject* self, PyObject* data);

// The Data state's request contents for the module's own handler and master node: the
// command `_data_command` names, then the outputs packed into the master frame `frame`.
bool map_outputs(HandlerObject* self, NodeObject* master, frame::FrameObject* frame);

// The Data state's inputs from an accepted reply: the items of the slave node's map (the
// module's own DictionaryMap) take the safe data of its frame `frame`.
bool read_inputs(NodeObject* slave, frame::FrameObject* frame);

}  // namespace tamsel::master::data_cycle
