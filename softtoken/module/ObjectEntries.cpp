// Object and search entry points.
#include "Entry.h"
#include "NewObjects.h"

using namespace softtoken::module;

namespace {

// The object a session may change: found, writable in this session, and not barred by
// its own flag (CKA_DESTROYABLE, CKA_MODIFIABLE).
CK_RV changeableObject(Module& m, Session& s, CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE flag,
                       Object*& out) {
    CK_RV rv = m.object(s, handle, out);
    if (rv != CKR_OK)
        return rv;
    rv = m.checkWritable(s, out->onToken, out->isPrivate);
    if (rv != CKR_OK)
        return rv;
    if (!readBool(out->attributes, flag, true))
        return CKR_ACTION_PROHIBITED;
    return CKR_OK;
}

} // namespace

SOFTTOKEN_EXPORT CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                                      CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        if (!phObject || (!pTemplate && ulCount != 0))
            return CKR_ARGUMENTS_BAD;
        Attributes given;
        CK_RV rv = readTemplate(pTemplate, ulCount, given);
        if (rv != CKR_OK)
            return rv;
        const Bytes* cls = findValue(given, CKA_CLASS);
        if (!cls)
            return CKR_TEMPLATE_INCOMPLETE;
        CK_ULONG objectClass = 0;
        if (!readUlong(given, CKA_CLASS, objectClass))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        Attributes attributes;
        rv = prepareObject(m, objectClass, std::move(given), Purpose::Create, attributes);
        if (rv != CKR_OK)
            return rv;
        return m.storeNewObject(s, std::move(attributes), *phObject);
    });
}

SOFTTOKEN_EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        Object* o = nullptr;
        CK_RV rv = changeableObject(m, s, hObject, CKA_DESTROYABLE, o);
        if (rv != CKR_OK)
            return rv;
        if (o->onToken) {
            Token& t = m.token(s.slot);
            rv = t.db->destroyObject(o->dbId);
            if (rv != CKR_OK)
                return rv;
            t.handleOfId.erase(o->dbId);
        }
        m.removeObject(hObject);
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                       CK_ULONG_PTR pulSize) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        if (!pulSize)
            return CKR_ARGUMENTS_BAD;
        Object* o = nullptr;
        const CK_RV rv = m.object(s, hObject, o);
        if (rv != CKR_OK)
            return rv;
        *pulSize = store::objectSize(o->attributes);
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                           CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        if ((!pTemplate && ulCount != 0) || ulCount > kMaxTemplateCount)
            return CKR_ARGUMENTS_BAD;
        Object* o = nullptr;
        const CK_RV rv = m.object(s, hObject, o);
        if (rv != CKR_OK)
            return rv;
        const CK_OBJECT_CLASS objectClass = o->objectClass();
        bool sensitive = false, invalid = false, tooSmall = false;
        for (CK_ULONG i = 0; i < ulCount; ++i) {
            CK_ATTRIBUTE& a = pTemplate[i];
            const Bytes* value = findValue(o->attributes, a.type);
            if (!value) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                invalid = true;
            } else if (isHidden(objectClass, o->attributes, a.type)) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                sensitive = true;
            } else if (!a.pValue) {
                a.ulValueLen = value->size();
            } else if (a.ulValueLen < value->size()) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                tooSmall = true;
            } else {
                if (!value->empty())
                    std::memcpy(a.pValue, value->data(), value->size());
                a.ulValueLen = value->size();
            }
        }
        if (sensitive)
            return CKR_ATTRIBUTE_SENSITIVE;
        if (invalid)
            return CKR_ATTRIBUTE_TYPE_INVALID;
        return tooSmall ? CKR_BUFFER_TOO_SMALL : CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                           CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        if (!pTemplate && ulCount != 0)
            return CKR_ARGUMENTS_BAD;
        Object* o = nullptr;
        CK_RV rv = changeableObject(m, s, hObject, CKA_MODIFIABLE, o);
        if (rv != CKR_OK)
            return rv;
        Attributes changes;
        rv = readTemplate(pTemplate, ulCount, changes);
        if (rv != CKR_OK)
            return rv;
        const CK_OBJECT_CLASS objectClass = o->objectClass();
        Attributes updated = o->attributes;
        for (const auto& [type, value] : changes) {
            rv = checkChange(objectClass, o->attributes, type, value);
            if (rv != CKR_OK)
                return rv;
            updated[type] = normalizedForSearch(type, value);
        }
        if (sensitiveInTheClear(objectClass, updated))
            return CKR_TEMPLATE_INCONSISTENT;
        if (o->onToken) {
            Token& t = m.token(s.slot);
            store::ObjectRecord record;
            record.id = o->dbId;
            record.isPrivate = o->isPrivate;
            record.attributes = updated;
            rv = t.db->updateObject(t.login == Login::User ? &t.tokenKey : nullptr, record);
            if (rv != CKR_OK)
                return rv;
        }
        o->attributes = std::move(updated);
        o->pkey.reset();
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                                         CK_ULONG ulCount) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        if (!pTemplate && ulCount != 0)
            return CKR_ARGUMENTS_BAD;
        if (s.findActive)
            return CKR_OPERATION_ACTIVE;
        Attributes wanted;
        CK_RV rv = readTemplate(pTemplate, ulCount, wanted);
        if (rv != CKR_OK)
            return rv;
        for (auto& [type, value] : wanted)
            value = normalizedForSearch(type, value);
        rv = m.loadObjects(s.slot);
        if (rv != CKR_OK)
            return rv;
        s.found.clear();
        for (Object* o : m.visibleObjects(s)) {
            bool match = true;
            for (const auto& [type, value] : wanted) {
                const Bytes* have = findValue(o->attributes, type);
                if (!have || *have != value) {
                    match = false;
                    break;
                }
            }
            if (match)
                s.found.push_back(o->handle);
        }
        s.foundPos = 0;
        s.findActive = true;
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                                     CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    return withSession(hSession, [&](Module&, Session& s) -> CK_RV {
        if (!phObject || !pulObjectCount)
            return CKR_ARGUMENTS_BAD;
        if (!s.findActive)
            return CKR_OPERATION_NOT_INITIALIZED;
        CK_ULONG n = 0;
        while (n < ulMaxObjectCount && s.foundPos < s.found.size())
            phObject[n++] = s.found[s.foundPos++];
        *pulObjectCount = n;
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    return withSession(hSession, [&](Module&, Session& s) -> CK_RV {
        if (!s.findActive)
            return CKR_OPERATION_NOT_INITIALIZED;
        s.findActive = false;
        s.found.clear();
        s.foundPos = 0;
        return CKR_OK;
    });
}
