// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// The reference model of one device check against the scripted fake: what
// CheckDevice must do, call by call, worked out apart from the code under
// test from the same script the fake was given. The fault matrix and the
// fuzz target both check the code against it.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fake/fake_platform.h"

namespace CheckModel {

// The model's view of the platform: the fake's script, its own state.
struct Model {
    std::vector<Fake::Device> devices;
    std::map<std::pair<Fake::Op, int>, DWORD> failures;
    std::map<Fake::Op, int> counts;
    DWORD lastError = 0;
    std::vector<std::string> calls;  // formatted as Fake::AllCalls() records them
    std::string printed;             // standard output
};

// A model of the fake as it is scripted now (devices and injected failures).
Model FromFake();

// Works out one check of `target`: appends its calls (and, with `trace`, its
// trace lines) and printed text to the model, updates the model's devices,
// and returns the result the check must give.
bool Check(Model& model, const std::string& target, bool trace);

// The calls that begin with any of the given prefixes, in order.
std::vector<std::string> Only(const std::vector<std::string>& calls, std::initializer_list<const char*> prefixes);

}  // namespace CheckModel
