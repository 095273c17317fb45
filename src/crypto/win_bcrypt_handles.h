/*
 * Owners for CNG handles, so every provider, hash and key is released on
 * every path without close calls spread through the code. They are the
 * project's one move-only owner template (common/win_unique.h) with CNG
 * traits; the handle types are all null when absent.
 */
#pragma once

#include <windows.h>

#include <bcrypt.h>

#include "common/win_unique.h"

struct BcryptAlgTraits {
    using Value = BCRYPT_ALG_HANDLE;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value handle) noexcept { ::BCryptCloseAlgorithmProvider(handle, 0); }
};
using UniqueBcryptAlg = UniqueResource<BcryptAlgTraits>;

struct BcryptHashTraits {
    using Value = BCRYPT_HASH_HANDLE;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value handle) noexcept { ::BCryptDestroyHash(handle); }
};
using UniqueBcryptHash = UniqueResource<BcryptHashTraits>;

struct BcryptKeyTraits {
    using Value = BCRYPT_KEY_HANDLE;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value handle) noexcept { ::BCryptDestroyKey(handle); }
};
using UniqueBcryptKey = UniqueResource<BcryptKeyTraits>;
