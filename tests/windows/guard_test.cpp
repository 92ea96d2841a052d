// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <windows.h>

#include "recovery/seh_guard_win.h"

namespace {

DEVINST SeenNode = 0;
ULONG SeenFlags = 99;

CONFIGRET WINAPI Returns7(DEVINST node, ULONG flags)
{
    SeenNode = node;
    SeenFlags = flags;
    return 7;
}

CONFIGRET WINAPI AccessViolation(DEVINST, ULONG)
{
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
    return CR_SUCCESS;
}

CONFIGRET WINAPI Raises(DEVINST, ULONG)
{
    RaiseException(0xE0FA0002, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return CR_SUCCESS;
}

CONFIGRET WINAPI DividesByZero(DEVINST node, ULONG)
{
    volatile int zero = static_cast<int>(node) - 5;
    return static_cast<CONFIGRET>(10 / zero);
}

// An exception the callee raises and handles itself is none of the guard's
// business: a C++ throw is a structured exception underneath.
CONFIGRET WINAPI HandlesItsOwnException(DEVINST, ULONG)
{
    try {
        throw 42;
    } catch (int value) {
        return static_cast<CONFIGRET>(value);
    }
}

TEST(CallDevNodeGuarded, NormalCallPassesNodeFlagsAndResult)
{
    CONFIGRET result = 0;
    EXPECT_TRUE(CallDevNodeGuarded(Returns7, 1234, &result));
    EXPECT_EQ(result, 7u);
    EXPECT_EQ(SeenNode, 1234u);
    EXPECT_EQ(SeenFlags, 0u);
}

TEST(CallDevNodeGuarded, ProcessorFaultsAndRaisedExceptionsBecomeFailures)
{
    CONFIGRET result = 55;
    EXPECT_FALSE(CallDevNodeGuarded(AccessViolation, 1, &result));
    EXPECT_FALSE(CallDevNodeGuarded(Raises, 1, &result));
    EXPECT_FALSE(CallDevNodeGuarded(DividesByZero, 5, &result));
    EXPECT_EQ(result, 55u) << "a faulted call stores no result";
    EXPECT_EQ(CallDevNodeOrFail(Raises, 1), CR_FAILURE);
}

TEST(CallDevNodeGuarded, CalleeHandlingItsOwnExceptionIsNotStolen)
{
    CONFIGRET result = 0;
    EXPECT_TRUE(CallDevNodeGuarded(HandlesItsOwnException, 1, &result));
    EXPECT_EQ(result, 42u);
}

TEST(CallDevNodeGuarded, RepeatedFaultsLeaveTheThreadUsable)
{
    // Sixty checks a run, each with up to two guarded calls: far more faults
    // than that must not exhaust the stack or unbalance registers.
    for (int i = 0; i < 10000; ++i) {
        CONFIGRET result = 0;
        ASSERT_FALSE(CallDevNodeGuarded(i % 2 ? AccessViolation : Raises, 1, &result));
        ASSERT_TRUE(CallDevNodeGuarded(Returns7, static_cast<DEVINST>(i), &result));
        ASSERT_EQ(SeenNode, static_cast<DEVINST>(i));
    }
}

}  // namespace
