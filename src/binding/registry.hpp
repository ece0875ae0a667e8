#pragma once
// What each subsystem adds to the module while its body runs, in the order of the body.
#include "binding/ref.hpp"

namespace tamsel {

namespace binding {
int add_standard_names(PyObject* module);  // the standard-library names of the namespace
int add_errors(PyObject* module);          // exception classes, BaseError, FSOEError
}  // namespace binding

namespace frame {
int add_native_types(PyObject* module);  // FSOEFrameControl, U16Array, FSOEFrame
int add_constants(PyObject* module);     // BYTES_PER_WORD, MAX_DATA_WORDS, MAX_DATA_BYTES, MAX_CRC_WORDS
int add_command_enum(PyObject* module);  // FSOECommand
int add_sra_crc(PyObject* module);       // calculate_sra_crc
}  // namespace frame

namespace data {
int add_native_types(PyObject* module);  // DictionaryItem and its kinds, Dictionary
int add_align_bits(PyObject* module);    // align_bits
int add_definitions(PyObject* module);   // DICTIONARY_VALUE_TYPES, DataType
}  // namespace data

namespace mapping {
int add_map_types(PyObject* module);          // DictionaryMappedItem, DictionaryMap
int add_dynamic_map_types(PyObject* module);  // DynamicMappableItem, FSOEDynamicMap
}  // namespace mapping

namespace master {
int add_watchdog(PyObject* module);      // WatchdogCommand, Watchdog
int add_node_classes(PyObject* module);  // Session, Node, ApplicationParameter
int add_handler(PyObject* module);       // MasterHandler
}  // namespace master

namespace trace {
int add_trace(PyObject* module);  // TAMSEL_LOGGING and the trace functions
}  // namespace trace

namespace states {
int add_states(PyObject* module);  // State and the five states
}  // namespace states

}  // namespace tamsel
