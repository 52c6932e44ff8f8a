#pragma once

// Object handles that stay valid across processes: korvanng-tool names a
// token object by a short hash of what the object is (its class and the
// attributes fixed when it was made), not by the module's handle, which lives
// only within a session and which a module may reuse or renumber after every
// change. Every command finds the object again by computing the hashes anew.

#include "CertCommon.h"

#include "TokenObjectInfo.h"

#include <optional>
#include <string>
#include <vector>

// Hexadecimal digits of a handle (48 bits of SHA-256).
inline constexpr size_t kObjectHandleLength = 12;

// The handle of one object, in lower-case hex; nullopt when an attribute
// cannot be read for another reason than the object lacking it or keeping it
// secret (such an object cannot be named). Secret values never enter the
// hash: a private key's CKA_VALUE and a private data object's value stay out.
std::optional<std::string> ObjectHandleOf(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                                          const TokenObjectInfo& record);

// A handle as typed: exactly kObjectHandleLength hex digits in either case;
// the lower-case form, or nullopt.
std::optional<std::string> ParseObjectHandle(const std::string& text);

// The records of `objects` that `handle` names: none, one, or more than one
// (objects alike in every hashed attribute, which no command may pick from).
std::vector<const TokenObjectInfo*> FindObjectsByHandle(CK_FUNCTION_LIST* functions,
                                                        CK_SESSION_HANDLE session,
                                                        const std::vector<TokenObjectInfo>& objects,
                                                        const std::string& handle);
