// A module's state: everything the module keeps between calls, in one struct
// reached in one way, as CPython's own modules reach theirs (_csv.c's
// get_csv_state). A module declares its struct in one header and reaches it
// through one function, defined once:
//
//     // state.h
//     struct State {
//         nx::StandIn<2> hashing;  // json, hashlib: what doc_hash stands in for
//         ...
//     };
//     State& state();
//
//     // the module's start-up file
//     State& state() { return nx::module_state<State>(); }
//
// and no subsystem keeps a static of its own. The modules run their body once
// per process and refuse a second interpreter (pymodule.h), so one instance
// serves the process. It is made on first use and never destroyed: the
// references it holds must not be released after the interpreter has gone
// at exit. (Constants derived once from build-time tables, and the interned
// names of NX_ID, are not state: they never change once made.)
#pragma once

namespace nx {

template <class State>
State& module_state() {
    static State* const state = new State();
    return *state;
}

}  // namespace nx
