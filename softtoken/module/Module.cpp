#include "Module.h"

#include <algorithm>
#include <set>
#include <unistd.h>

namespace softtoken::module {

namespace {
constexpr std::size_t kMaxPendingEvents = 1024;
}

CK_OBJECT_CLASS Object::objectClass() const {
    CK_ULONG c = CKO_DATA;
    readUlong(attributes, CKA_CLASS, c);
    return c;
}

CK_RV Module::create(const CK_C_INITIALIZE_ARGS* args, std::unique_ptr<Module>& out) {
    std::unique_ptr<Module> m(new Module());
    CK_RV rv = Locking::create(args, m->locking_);
    if (rv != CKR_OK)
        return rv;
    m->identity_ = moduleIdentity();
    m->process_ = ::getpid();
    std::string error;
    auto config = store::Config::load(m->identity_.configEnvVar, m->identity_.moduleName, &error);
    if (!config)
        return CKR_FUNCTION_FAILED;
    m->config_ = *config;
    while (m->origin_ == 0)
        if (!crypto::fillRandom(&m->origin_, sizeof m->origin_))
            return CKR_FUNCTION_FAILED;
    if (store::SlotTable::open(m->config_, m->slotTable_) != CKR_OK)
        return CKR_FUNCTION_FAILED;
    if (store::EventLog::open(m->config_, m->eventLog_) != CKR_OK)
        return CKR_FUNCTION_FAILED;
    m->tokens_.resize(m->slotTable_->slotCount());
    for (unsigned i = 0; i < m->tokens_.size(); ++i)
        m->tokens_[i].name = m->slotTable_->tokenIn(i);
    out = std::move(m);
    return CKR_OK;
}

Module::~Module() {
    sessions_.clear();
    objects_.clear();
    tokens_.clear();
}

void Module::pumpEvents() {
    while (auto e = eventLog_->next()) {
        // The log, shared with tokenctl, records reader indexes.
        if (e->slot >= tokens_.size())
            continue;
        e->slot = slotOfReader(static_cast<unsigned>(e->slot));
        const bool slotChange =
            e->code == E_EVENT_TOKEN_INSERTED || e->code == E_EVENT_TOKEN_REMOVED;
        // Changes made through this instance are already known here.
        if (!slotChange && e->origin == origin_)
            continue;
        if (slotChange)
            applySlotEvent(*e);
        else if (e->code == E_EVENT_TOKEN_REINITIALIZED) {
            // The token key and every object are new: our login and cache are stale.
            logout(e->slot);
            token(e->slot).objectsLoaded = false;
        }
        if (pending_.size() >= kMaxPendingEvents)
            pending_.pop_front();
        pending_.push_back(*e);
    }
}

void Module::applySlotEvent(const store::SlotEvent& e) {
    Token& t = token(e.slot);
    auto name = slotTable_->tokenIn(readerOfSlot(e.slot));
    if (e.code == E_EVENT_TOKEN_REMOVED || name != t.name)
        resetToken(e.slot);
    t.name = std::move(name);
}

std::optional<store::SlotEvent> Module::nextEvent() {
    if (pending_.empty())
        return std::nullopt;
    store::SlotEvent e = pending_.front();
    pending_.pop_front();
    return e;
}

void Module::appendEvent(CK_SLOT_ID slot, CK_ULONG code) {
    store::SlotEvent e;
    e.slot = readerOfSlot(slot);
    e.code = code;
    e.origin = origin_;
    eventLog_->append(e); // the change itself succeeded; a lost notice is not its failure
}

bool Module::tokenPresent(CK_SLOT_ID slot) const {
    return validSlot(slot) && tokens_[readerOfSlot(slot)].name.has_value();
}

CK_RV Module::openToken(CK_SLOT_ID slot, Token*& out) {
    if (!validSlot(slot))
        return CKR_SLOT_ID_INVALID;
    Token& t = token(slot);
    if (!t.name)
        return CKR_TOKEN_NOT_PRESENT;
    if (!t.db) {
        const CK_RV rv = store::TokenDatabase::open(config_, *t.name, t.db);
        if (rv != CKR_OK) {
            t.db.reset();
            return rv;
        }
    }
    out = &t;
    return CKR_OK;
}

void Module::resetToken(CK_SLOT_ID slot) {
    closeAllSessions(slot);
    for (auto it = objects_.begin(); it != objects_.end();)
        it = it->second->slot == slot ? objects_.erase(it) : std::next(it);
    Token& t = token(slot);
    t.db.reset();
    t.login = Login::None;
    t.tokenKey.clear();
    t.objectsLoaded = false;
    t.loadedWithKey = false;
    t.handleOfId.clear();
}

CK_RV Module::session(CK_SESSION_HANDLE handle, Session*& out) {
    auto it = sessions_.find(handle);
    if (it == sessions_.end())
        return CKR_SESSION_HANDLE_INVALID;
    out = it->second.get();
    return CKR_OK;
}

CK_RV Module::openSession(CK_SLOT_ID slot, bool rw, CK_SESSION_HANDLE& out) {
    if (sessions_.size() >= kMaxSessions)
        return CKR_SESSION_COUNT;
    auto s = std::make_unique<Session>();
    s->handle = nextSession_++;
    s->slot = slot;
    s->rw = rw;
    out = s->handle;
    sessions_.emplace(out, std::move(s));
    return CKR_OK;
}

void Module::closeSession(CK_SESSION_HANDLE handle) {
    auto it = sessions_.find(handle);
    if (it == sessions_.end())
        return;
    const CK_SLOT_ID slot = it->second->slot;
    sessions_.erase(it);
    for (auto o = objects_.begin(); o != objects_.end();)
        o = (!o->second->onToken && o->second->owner == handle) ? objects_.erase(o) : std::next(o);
    if (sessionCount(slot, false) == 0)
        logout(slot);
}

void Module::closeAllSessions(CK_SLOT_ID slot) {
    std::vector<CK_SESSION_HANDLE> handles;
    for (const auto& [h, s] : sessions_)
        if (s->slot == slot)
            handles.push_back(h);
    for (CK_SESSION_HANDLE h : handles)
        closeSession(h);
    logout(slot);
}

CK_ULONG Module::sessionCount(CK_SLOT_ID slot, bool rwOnly) const {
    CK_ULONG n = 0;
    for (const auto& [h, s] : sessions_)
        if (s->slot == slot && (!rwOnly || s->rw))
            ++n;
    return n;
}

CK_STATE Module::sessionState(const Session& s) {
    switch (token(s.slot).login) {
    case Login::User:
        return s.rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    case Login::SO:
        return CKS_RW_SO_FUNCTIONS;
    case Login::None:
        break;
    }
    return s.rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
}

void Module::loggedIn(CK_SLOT_ID slot, Login who, SecureBytes tokenKey) {
    Token& t = token(slot);
    t.login = who;
    t.tokenKey = std::move(tokenKey);
}

void Module::logout(CK_SLOT_ID slot) {
    Token& t = token(slot);
    t.login = Login::None;
    t.tokenKey.clear();
    // Decrypted private values leave memory with the login.
    for (auto it = objects_.begin(); it != objects_.end();)
        it = (it->second->slot == slot && it->second->onToken && it->second->isPrivate)
                 ? objects_.erase(it)
                 : std::next(it);
    t.loadedWithKey = false;
    for (auto& [h, s] : sessions_)
        if (s->slot == slot) {
            s->sign.reset();
            s->decrypt.reset();
        }
}

CK_RV Module::loadObjects(CK_SLOT_ID slot) {
    Token* t = nullptr;
    CK_RV rv = openToken(slot, t);
    if (rv != CKR_OK)
        return rv;
    const bool changed = t->db->changedElsewhere();
    const bool withKey = t->login == Login::User;
    if (t->objectsLoaded && !changed && t->loadedWithKey == withKey)
        return CKR_OK;
    std::vector<store::ObjectRecord> records;
    rv = t->db->readObjects(withKey ? &t->tokenKey : nullptr, records);
    if (rv != CKR_OK)
        return rv;
    std::set<CK_OBJECT_HANDLE> present;
    for (store::ObjectRecord& rec : records) {
        auto [hit, fresh] = t->handleOfId.emplace(rec.id, 0);
        if (fresh)
            hit->second = newHandle();
        std::unique_ptr<Object>& obj = objects_[hit->second];
        if (!obj) {
            obj = std::make_unique<Object>();
            obj->handle = hit->second;
            obj->slot = slot;
            obj->onToken = true;
            obj->dbId = rec.id;
        }
        obj->isPrivate = rec.isPrivate;
        if (obj->attributes != rec.attributes) {
            obj->attributes = std::move(rec.attributes);
            obj->pkey.reset();
        }
        present.insert(hit->second);
    }
    for (auto it = objects_.begin(); it != objects_.end();)
        it = (it->second->slot == slot && it->second->onToken && !present.count(it->first))
                 ? objects_.erase(it)
                 : std::next(it);
    t->objectsLoaded = true;
    t->loadedWithKey = withKey;
    return CKR_OK;
}

CK_RV Module::object(const Session& s, CK_OBJECT_HANDLE handle, Object*& out) {
    const CK_RV rv = loadObjects(s.slot);
    if (rv != CKR_OK)
        return rv;
    auto it = objects_.find(handle);
    if (it == objects_.end() || it->second->slot != s.slot)
        return CKR_OBJECT_HANDLE_INVALID;
    if (it->second->isPrivate && token(s.slot).login != Login::User)
        return CKR_OBJECT_HANDLE_INVALID;
    out = it->second.get();
    return CKR_OK;
}

CK_RV Module::keyObject(const Session& s, CK_OBJECT_HANDLE handle, Object*& out) {
    const CK_RV rv = object(s, handle, out);
    if (rv != CKR_OBJECT_HANDLE_INVALID)
        return rv;
    if (token(s.slot).login != Login::User) {
        auto it = objects_.find(handle);
        if (it != objects_.end() && it->second->slot == s.slot)
            return CKR_USER_NOT_LOGGED_IN;
        for (const auto& [id, h] : token(s.slot).handleOfId)
            if (h == handle)
                return CKR_USER_NOT_LOGGED_IN;
    }
    return CKR_KEY_HANDLE_INVALID;
}

std::vector<Object*> Module::visibleObjects(const Session& s) {
    std::vector<Object*> out;
    if (loadObjects(s.slot) != CKR_OK)
        return out;
    const bool user = token(s.slot).login == Login::User;
    for (auto& [h, o] : objects_)
        if (o->slot == s.slot && (!o->isPrivate || user))
            out.push_back(o.get());
    return out;
}

CK_OBJECT_HANDLE Module::addObject(std::unique_ptr<Object> object) {
    object->handle = newHandle();
    const CK_OBJECT_HANDLE h = object->handle;
    objects_.emplace(h, std::move(object));
    return h;
}

void Module::removeObject(CK_OBJECT_HANDLE handle) {
    objects_.erase(handle);
}

CK_RV Module::checkWritable(const Session& s, bool onToken, bool isPrivate) {
    if (onToken && !s.rw)
        return CKR_SESSION_READ_ONLY;
    if (isPrivate && token(s.slot).login != Login::User)
        return CKR_USER_NOT_LOGGED_IN;
    return CKR_OK;
}

CK_RV Module::storeNewObject(Session& s, Attributes attributes, CK_OBJECT_HANDLE& out) {
    std::vector<Attributes> all;
    all.push_back(std::move(attributes));
    std::vector<CK_OBJECT_HANDLE> handles;
    const CK_RV rv = storeNewObjects(s, std::move(all), handles);
    if (rv == CKR_OK)
        out = handles.front();
    return rv;
}

CK_RV Module::storeNewObjects(Session& s, std::vector<Attributes> all,
                              std::vector<CK_OBJECT_HANDLE>& out) {
    out.clear();
    std::vector<std::unique_ptr<Object>> objects;
    std::vector<store::ObjectRecord> records;
    for (Attributes& attributes : all) {
        auto obj = std::make_unique<Object>();
        obj->slot = s.slot;
        obj->onToken = readBool(attributes, CKA_TOKEN, false);
        obj->isPrivate = readBool(attributes, CKA_PRIVATE, false);
        if (CK_RV rv = checkWritable(s, obj->onToken, obj->isPrivate); rv != CKR_OK)
            return rv;
        if (obj->onToken) {
            store::ObjectRecord record;
            record.isPrivate = obj->isPrivate;
            record.attributes = attributes;
            records.push_back(std::move(record));
        } else {
            obj->owner = s.handle;
        }
        obj->attributes = std::move(attributes);
        objects.push_back(std::move(obj));
    }
    if (!records.empty()) {
        if (CK_RV rv = loadObjects(s.slot); rv != CKR_OK)
            return rv;
        Token& t = token(s.slot);
        if (CK_RV rv = t.db->createObjects(t.login == Login::User ? &t.tokenKey : nullptr, records);
            rv != CKR_OK)
            return rv;
    }
    std::size_t next = 0;
    for (auto& obj : objects) {
        const bool onToken = obj->onToken;
        const std::uint64_t id = onToken ? records[next++].id : 0;
        obj->dbId = id;
        const CK_OBJECT_HANDLE handle = addObject(std::move(obj));
        if (onToken)
            token(s.slot).handleOfId[id] = handle;
        out.push_back(handle);
    }
    return CKR_OK;
}

} // namespace softtoken::module
