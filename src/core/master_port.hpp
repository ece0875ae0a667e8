#pragma once
// What the master's rules need from whoever holds the connection: the port.
//
// The rules (master_rules.hpp, master_cycle.hpp) are templates over a port type P. A port
// serves one event of one state object on one handler. Every operation returns false (or
// -1 for a three-way answer) when it failed; the rules then stop and hand the failure on.
// Two ports serve the module (a native one over its own objects, a host one over attribute
// access and method calls); the tests have one over plain structs.
//
//   using Next = ...;   // the state an event leads to; contextually false after a failure
//   using Text = ...;   // a report text composed by the port
//   Next next(State);   // the class of a state
//
// Frames:
//   bool set_crc0(Side, uint16_t); bool set_sequence_number(Side, uint16_t);
//   bool set_master_command(Command); bool slave_command(Command&);
//   int connection_id_matches(Text& mismatch);   // 1, or 0 with the report text
//   bool slave_reset_message(Text&);
//   int check_received_crcs();                   // the state's own check: size, then CRCs
//     (core::verify_received_crcs does it over: bool reply_oversized(); int reply_size_matches();
//      int slave_last_crc0_known(); int check_slave_crcs(bool cyclic);)
// Handler:
//   bool log(Transition); bool report(Transition, Message); bool report(Transition, const Text&);
//   bool set_flag(Flag, bool); int get_flag(Flag);
//   bool set_data_command_failsafe(); bool activate_watchdog(); bool create_session_id();
//   int dynamic_map_pending();
// Nodes, sessions, maps:
//   bool set_inputs_to_failsafe(); bool set_master_error(ErrorCode);
//   bool clear_dynamic_map(Side); bool add_session_item(Side, SessionField);
//   bool clear_master_last_crc0(); int slave_echo_correct();
//   bool map_master_outputs(); bool read_slave_inputs();
//   bool set_master_parameter_sizes(); bool clear_slave_parameters(); bool map_parameters(Side);
// The state object the event runs on ("self"), whose class the host may have derived:
//   bool self_is(State);          // exactly the module's class of that state
//   bool self_is_module_class();  // exactly one of the module's five classes
//   Next call_action(Transition); Next call_reset_session();
//   int call_check_received_crcs(); bool call_map_frame();
//   bool call_calculate_master_size_bytes(); bool call_clear_slave_parameters();
//   bool call_map_node(Side);
#include "core/protocol.hpp"
