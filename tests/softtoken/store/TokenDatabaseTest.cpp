#include "TestStore.h"

#include "softtoken/store/Files.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace softtoken::store::test {
namespace {

using TokenDb = StoreTest;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
}

TEST_F(TokenDb, CreateThenOpenReadsWhatWasSet) {
    auto db = makeToken();
    ASSERT_TRUE(db);
    TokenRecord token;
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.label, "Test token");
    ASSERT_EQ(token.serial.size(), 16u);
    EXPECT_EQ(token.serial.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_TRUE(token.userPinInitialized);
    EXPECT_EQ(token.soRetryLimit, 3);
    EXPECT_EQ(token.publicMemoryTotal, 2000u);
    EXPECT_EQ(token.privateMemoryUsed, 0u);
    EXPECT_EQ(token.minPinLen, config_.minPinLen);
    EXPECT_EQ(token.maxPinLen, config_.maxPinLen);
    EXPECT_EQ(db->name(), "alpha");
    EXPECT_EQ(TokenDatabase::list(config_), std::vector<std::string>{"alpha"});
}

TEST_F(TokenDb, CreateRefusesTakenOrUnsafeNamesAndBadRequests) {
    makeToken();
    EXPECT_EQ(TokenDatabase::create(config_, "alpha", request()), CKR_ARGUMENTS_BAD);
    for (const char* name : {"", "../evil", "a/b", ".hidden", "sp ace"})
        EXPECT_EQ(TokenDatabase::create(config_, name, request()), CKR_ARGUMENTS_BAD) << name;
    auto r = request(std::string(33, 'L'));
    EXPECT_EQ(TokenDatabase::create(config_, "beta", r), CKR_ARGUMENTS_BAD);
    r = request();
    r.soPin = pin("123");
    EXPECT_EQ(TokenDatabase::create(config_, "beta", r), CKR_PIN_LEN_RANGE);
    // A refused create leaves no file behind.
    EXPECT_EQ(TokenDatabase::list(config_), std::vector<std::string>{"alpha"});
}

TEST_F(TokenDb, FilesAreOwnerOnlyWhateverTheUmask) {
    const mode_t old = ::umask(0);
    auto db = makeToken();
    ObjectRecord record = object(false, "x");
    EXPECT_EQ(db->createObject(nullptr, record), CKR_OK);
    ::umask(old);
    EXPECT_EQ(modeOf(tokenFile()), 0600u);
    EXPECT_EQ(modeOf(tokenFile() + "-wal"), 0600u);
    EXPECT_EQ(modeOf(tokenFile() + "-shm"), 0600u);
    EXPECT_EQ(modeOf(config_.storeDir), 0700u);
}

TEST_F(TokenDb, TokenFilesOthersCouldReadOrSwapAreNotOpened) {
    // An open connection keeps the -wal file in place.
    auto keeper = makeToken();
    ObjectRecord record = object(false, "x");
    ASSERT_EQ(keeper->createObject(nullptr, record), CKR_OK);
    std::unique_ptr<TokenDatabase> db;
    for (const std::string part : {"", "-wal"}) {
        for (mode_t mode : {0640, 0604, 0620, 0602}) {
            ASSERT_EQ(::chmod((tokenFile() + part).c_str(), mode), 0);
            EXPECT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_DEVICE_ERROR)
                << part << " mode " << mode;
            EXPECT_NE(files::unsafeFileReason(tokenFile() + part), "");
        }
        ASSERT_EQ(::chmod((tokenFile() + part).c_str(), 0600), 0);
    }
    ASSERT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_OK);
    db.reset();
    keeper.reset();

    // Only root can hand a file to another user.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(tokenFile().c_str(), 65534, 65534), 0);
        EXPECT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_DEVICE_ERROR);
        EXPECT_NE(files::unsafeFileReason(tokenFile()).find("another user"), std::string::npos);
        ASSERT_EQ(::chown(tokenFile().c_str(), 0, 0), 0);
    }
    const std::string elsewhere = root_ + "/elsewhere.token";
    ASSERT_EQ(::rename(tokenFile().c_str(), elsewhere.c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), tokenFile().c_str()), 0);
    EXPECT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_DEVICE_ERROR);
}

TEST_F(TokenDb, WrongPinsCountLockAtLimitAndPersist) {
    auto db = makeToken();
    SecureBytes key;
    EXPECT_EQ(db->login(CKU_USER, pin("wrong-pin"), key), CKR_PIN_INCORRECT);
    EXPECT_TRUE(key.empty());
    EXPECT_EQ(db->login(CKU_USER, pin("wrong-pin"), key), CKR_PIN_INCORRECT);
    TokenRecord token;
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.userFailures, 2);
    EXPECT_EQ(token.soFailures, 0);

    // A PIN of impossible length is refused without counting.
    EXPECT_EQ(db->login(CKU_USER, pin("abc"), key), CKR_PIN_LEN_RANGE);
    // The right PIN resets the count and yields the key.
    EXPECT_EQ(db->login(CKU_USER, pin("user-secret"), key), CKR_OK);
    EXPECT_EQ(key.size(), 32u);
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.userFailures, 0);

    EXPECT_EQ(db->login(CKU_USER, pin("wrong-pin"), key), CKR_PIN_INCORRECT);
    EXPECT_EQ(db->login(CKU_USER, pin("wrong-pin"), key), CKR_PIN_INCORRECT);
    EXPECT_EQ(db->login(CKU_USER, pin("wrong-pin"), key), CKR_PIN_INCORRECT);
    EXPECT_EQ(db->login(CKU_USER, pin("wrong-pin"), key), CKR_PIN_LOCKED);
    db.reset();

    ASSERT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_OK);
    EXPECT_EQ(db->login(CKU_USER, pin("user-secret"), key), CKR_PIN_LOCKED);
    EXPECT_TRUE(key.empty());
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.userFailures, 3);
    // The SO PIN has its own counter.
    EXPECT_EQ(db->login(CKU_SO, pin("so-secret"), key), CKR_OK);
    EXPECT_EQ(db->login(CKU_CONTEXT_SPECIFIC + 7, pin("so-secret"), key), CKR_USER_TYPE_INVALID);
}

TEST_F(TokenDb, SoPinLocksAndChangePinCountsFailures) {
    auto db = makeToken();
    EXPECT_EQ(db->changePin(CKU_SO, pin("bad-so-pin"), pin("new-so-pin")), CKR_PIN_INCORRECT);
    SecureBytes key;
    EXPECT_EQ(db->login(CKU_SO, pin("bad-so-pin"), key), CKR_PIN_INCORRECT);
    EXPECT_EQ(db->initializeWithSoPin(pin("bad-so-pin"), "x"), CKR_PIN_INCORRECT);
    EXPECT_EQ(db->login(CKU_SO, pin("so-secret"), key), CKR_PIN_LOCKED);
    EXPECT_EQ(db->changePin(CKU_SO, pin("so-secret"), pin("new-so-pin")), CKR_PIN_LOCKED);
}

TEST_F(TokenDb, UserPinMayStayUninitialized) {
    auto r = request();
    r.userPin = SecureBytes();
    ASSERT_EQ(TokenDatabase::create(config_, "alpha", r), CKR_OK);
    std::unique_ptr<TokenDatabase> db;
    ASSERT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_OK);
    TokenRecord token;
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_FALSE(token.userPinInitialized);
    SecureBytes key;
    EXPECT_EQ(db->login(CKU_USER, pin("user-secret"), key), CKR_USER_PIN_NOT_INITIALIZED);
    ASSERT_EQ(db->login(CKU_SO, pin("so-secret"), key), CKR_OK);
    ASSERT_EQ(db->initUserPin(key, pin("first-pin")), CKR_OK);
    EXPECT_EQ(db->login(CKU_USER, pin("first-pin"), key), CKR_OK);
}

TEST_F(TokenDb, TokenKeySurvivesPinChangeAndUnblock) {
    auto db = makeToken();
    SecureBytes userKey;
    ASSERT_EQ(db->login(CKU_USER, pin("user-secret"), userKey), CKR_OK);
    ObjectRecord secret = object(true, "PRIVATE-MARKER");
    ASSERT_EQ(db->createObject(&userKey, secret), CKR_OK);

    EXPECT_EQ(db->changePin(CKU_USER, pin("user-secret"), pin("xy")), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(db->changePin(CKU_USER, pin("user-secret"), pin("changed-pin")), CKR_OK);
    EXPECT_EQ(db->login(CKU_USER, pin("user-secret"), userKey), CKR_PIN_INCORRECT);
    ASSERT_EQ(db->login(CKU_USER, pin("changed-pin"), userKey), CKR_OK);
    std::vector<ObjectRecord> objects;
    ASSERT_EQ(db->readObjects(&userKey, objects), CKR_OK);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0].attributes[CKA_VALUE], bytesOf("PRIVATE-MARKER"));

    // Lock the user out, then let the SO unblock with a new PIN.
    for (int i = 0; i < 3; ++i)
        db->login(CKU_USER, pin("wrong-pin"), userKey);
    EXPECT_EQ(db->login(CKU_USER, pin("changed-pin"), userKey), CKR_PIN_LOCKED);
    SecureBytes soKey;
    ASSERT_EQ(db->login(CKU_SO, pin("so-secret"), soKey), CKR_OK);
    EXPECT_EQ(db->initUserPin(SecureBytes(), pin("unblocked")), CKR_USER_NOT_LOGGED_IN);
    SecureBytes otherKey(32);
    EXPECT_EQ(db->initUserPin(otherKey, pin("unblocked")), CKR_FUNCTION_FAILED);
    EXPECT_EQ(db->initUserPin(soKey, pin("abc")), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(db->initUserPin(soKey, pin("unblocked")), CKR_OK);
    ASSERT_EQ(db->login(CKU_USER, pin("unblocked"), userKey), CKR_OK);
    ASSERT_EQ(db->readObjects(&userKey, objects), CKR_OK);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0].attributes[CKA_VALUE], bytesOf("PRIVATE-MARKER"));

    ASSERT_EQ(db->changePin(CKU_SO, pin("so-secret"), pin("so-changed")), CKR_OK);
    ASSERT_EQ(db->login(CKU_SO, pin("so-changed"), soKey), CKR_OK);
    EXPECT_TRUE(std::equal(soKey.begin(), soKey.end(), userKey.begin(), userKey.end()));
}

TEST_F(TokenDb, PrivateObjectsAreSealedAndNeedTheKey) {
    auto db = makeToken();
    SecureBytes key;
    ASSERT_EQ(db->login(CKU_USER, pin("user-secret"), key), CKR_OK);
    ObjectRecord secret = object(true, "SECRET-MARKER-7f3a");
    ObjectRecord open = object(false, "PUBLIC-MARKER-19bc");
    EXPECT_EQ(db->createObject(nullptr, secret), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(db->createObject(&key, secret), CKR_OK);
    ASSERT_EQ(db->createObject(nullptr, open), CKR_OK);
    EXPECT_NE(secret.id, open.id);

    std::vector<ObjectRecord> objects;
    ASSERT_EQ(db->readObjects(nullptr, objects), CKR_OK);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0].id, open.id);
    EXPECT_FALSE(objects[0].isPrivate);

    ASSERT_EQ(db->readObjects(&key, objects), CKR_OK);
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0].attributes, secret.attributes);
    EXPECT_TRUE(objects[0].isPrivate);

    SecureBytes wrongKey(32);
    EXPECT_NE(db->readObjects(&wrongKey, objects), CKR_OK);
    db.reset();

    // The public marker shows the search would find plain text if it were there.
    const std::string raw = readFile(tokenFile()) + readFile(tokenFile() + "-wal");
    EXPECT_NE(raw.find("PUBLIC-MARKER-19bc"), std::string::npos);
    EXPECT_EQ(raw.find("SECRET-MARKER-7f3a"), std::string::npos);
    EXPECT_EQ(raw.find("user-secret"), std::string::npos);
}

TEST_F(TokenDb, MemoryIsAccountedPerClassAndOverflowStoresNothing) {
    auto db = makeToken();
    SecureBytes key;
    ASSERT_EQ(db->login(CKU_USER, pin("user-secret"), key), CKR_OK);
    ObjectRecord big = object(false, std::string(1000, 'b'));
    const CK_ULONG bigSize = objectSize(big.attributes);
    EXPECT_EQ(bigSize, 2 * 12 + 8 + 1000u);
    ASSERT_EQ(db->createObject(nullptr, big), CKR_OK);
    ObjectRecord again = object(false, std::string(1000, 'c'));
    EXPECT_EQ(db->createObject(nullptr, again), CKR_DEVICE_MEMORY);
    EXPECT_EQ(again.id, 0u);
    // Private memory is separate and still free.
    ObjectRecord priv = object(true, std::string(1000, 'p'));
    ASSERT_EQ(db->createObject(&key, priv), CKR_OK);

    TokenRecord token;
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.publicMemoryUsed, bigSize);
    EXPECT_EQ(token.privateMemoryUsed, objectSize(priv.attributes));
    std::vector<ObjectRecord> objects;
    ASSERT_EQ(db->readObjects(&key, objects), CKR_OK);
    EXPECT_EQ(objects.size(), 2u);

    // Growing past the limit is refused and leaves the old value; shrinking frees memory.
    ObjectRecord grown = big;
    grown.attributes[CKA_VALUE] = Bytes(2000, 'g');
    EXPECT_EQ(db->updateObject(nullptr, grown), CKR_DEVICE_MEMORY);
    ObjectRecord shrunk = big;
    shrunk.attributes[CKA_VALUE] = Bytes(10, 's');
    ASSERT_EQ(db->updateObject(nullptr, shrunk), CKR_OK);
    // Turning a public object private moves its size to the private account.
    ObjectRecord moved = shrunk;
    moved.isPrivate = true;
    EXPECT_EQ(db->updateObject(nullptr, moved), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(db->updateObject(&key, moved), CKR_OK);
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.publicMemoryUsed, 0u);
    EXPECT_EQ(token.privateMemoryUsed, objectSize(priv.attributes) + objectSize(moved.attributes));
    ASSERT_EQ(db->readObjects(nullptr, objects), CKR_OK);
    EXPECT_TRUE(objects.empty());

    ASSERT_EQ(db->destroyObject(priv.id), CKR_OK);
    EXPECT_EQ(db->destroyObject(priv.id), CKR_OBJECT_HANDLE_INVALID);
    ObjectRecord ghost = object(false, "g");
    ghost.id = 9999;
    EXPECT_EQ(db->updateObject(nullptr, ghost), CKR_OBJECT_HANDLE_INVALID);
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.privateMemoryUsed, objectSize(moved.attributes));

    // Ids are never reused, even after the newest object is destroyed.
    ObjectRecord last = object(false, "l");
    ASSERT_EQ(db->createObject(nullptr, last), CKR_OK);
    ASSERT_EQ(db->destroyObject(last.id), CKR_OK);
    ObjectRecord next = object(false, "n");
    ASSERT_EQ(db->createObject(nullptr, next), CKR_OK);
    EXPECT_GT(next.id, last.id);
}

TEST_F(TokenDb, ObjectsCreatedTogetherAreAllStoredOrNone) {
    auto db = makeToken();
    SecureBytes key;
    ASSERT_EQ(db->login(CKU_USER, pin("user-secret"), key), CKR_OK);
    std::vector<ObjectRecord> pair{object(false, "first"), object(true, std::string(3000, 'x'))};
    EXPECT_EQ(db->createObjects(&key, pair), CKR_DEVICE_MEMORY);
    std::vector<ObjectRecord> objects;
    ASSERT_EQ(db->readObjects(&key, objects), CKR_OK);
    EXPECT_TRUE(objects.empty());
    TokenRecord token;
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.publicMemoryUsed, 0u);

    pair[1] = object(true, "second");
    ASSERT_EQ(db->createObjects(&key, pair), CKR_OK);
    ASSERT_EQ(db->readObjects(&key, objects), CKR_OK);
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0].id, pair[0].id);
    EXPECT_EQ(objects[1].id, pair[1].id);
    EXPECT_TRUE(objects[1].isPrivate);
}

TEST_F(TokenDb, InitializeWipesObjectsAndKeepsSerial) {
    auto db = makeToken();
    TokenRecord before;
    ASSERT_EQ(db->readToken(before), CKR_OK);
    ObjectRecord o = object(false, "x");
    ASSERT_EQ(db->createObject(nullptr, o), CKR_OK);

    auto r = request("Renewed");
    r.userRetryLimit = 9;
    r.publicMemory = 500;
    ASSERT_EQ(db->initialize(r), CKR_OK);
    TokenRecord after;
    ASSERT_EQ(db->readToken(after), CKR_OK);
    EXPECT_EQ(after.serial, before.serial);
    EXPECT_EQ(after.label, "Renewed");
    EXPECT_EQ(after.userRetryLimit, 9);
    EXPECT_EQ(after.publicMemoryTotal, 500u);
    EXPECT_EQ(after.publicMemoryUsed, 0u);
    std::vector<ObjectRecord> objects;
    ASSERT_EQ(db->readObjects(nullptr, objects), CKR_OK);
    EXPECT_TRUE(objects.empty());

    // Standard initialization: SO PIN checked, user PIN cleared, settings kept.
    EXPECT_EQ(db->initializeWithSoPin(pin("bad-so-pin"), "New"), CKR_PIN_INCORRECT);
    ASSERT_EQ(db->readToken(after), CKR_OK);
    EXPECT_EQ(after.soFailures, 1);
    ASSERT_EQ(db->initializeWithSoPin(pin("so-secret"), "New"), CKR_OK);
    ASSERT_EQ(db->readToken(after), CKR_OK);
    EXPECT_EQ(after.label, "New");
    EXPECT_FALSE(after.userPinInitialized);
    EXPECT_EQ(after.soFailures, 0);
    EXPECT_EQ(after.userRetryLimit, 9);
    EXPECT_EQ(after.publicMemoryTotal, 500u);

    EXPECT_EQ(db->setLabel(std::string(33, 'x')), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(db->setLabel(std::string(32, 'x')), CKR_OK);
    ASSERT_EQ(db->readToken(after), CKR_OK);
    EXPECT_EQ(after.label, std::string(32, 'x'));
}

TEST_F(TokenDb, ChangedElsewhereSeesOtherConnectionsOnly) {
    auto first = makeToken();
    std::unique_ptr<TokenDatabase> second;
    ASSERT_EQ(TokenDatabase::open(config_, "alpha", second), CKR_OK);
    EXPECT_FALSE(first->changedElsewhere());
    ASSERT_EQ(second->setLabel("other"), CKR_OK);
    EXPECT_TRUE(first->changedElsewhere());
    EXPECT_FALSE(first->changedElsewhere());
    ASSERT_EQ(first->setLabel("mine"), CKR_OK);
    EXPECT_FALSE(first->changedElsewhere());
    // Our own commit moves the shared header too; a commit by the other right after must not
    // be taken for it.
    ASSERT_EQ(first->setLabel("mine again"), CKR_OK);
    ASSERT_EQ(second->setLabel("theirs"), CKR_OK);
    EXPECT_TRUE(first->changedElsewhere());
    EXPECT_FALSE(first->changedElsewhere());
}

TEST_F(TokenDb, TwoConnectionsCountingFailuresLoseNothing) {
    auto r = request();
    r.userRetryLimit = 0; // never locks, so every attempt counts
    ASSERT_EQ(TokenDatabase::create(config_, "alpha", r), CKR_OK);
    constexpr int kEach = 20;
    auto worker = [&] {
        std::unique_ptr<TokenDatabase> db;
        ASSERT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_OK);
        SecureBytes key;
        for (int i = 0; i < kEach; ++i)
            EXPECT_EQ(db->login(CKU_USER, pin("wrong-pin"), key), CKR_PIN_INCORRECT);
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    std::unique_ptr<TokenDatabase> db;
    ASSERT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_OK);
    TokenRecord token;
    ASSERT_EQ(db->readToken(token), CKR_OK);
    EXPECT_EQ(token.userFailures, 2 * kEach);
}

TEST_F(TokenDb, DamagedFilesAreNotRecognized) {
    {
        auto r = request();
        r.publicMemory = 1000000;
        ASSERT_EQ(TokenDatabase::create(config_, "alpha", r), CKR_OK);
        std::unique_ptr<TokenDatabase> db;
        ASSERT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_OK);
        for (int i = 0; i < 200; ++i) {
            ObjectRecord o = object(false, std::string(400, static_cast<char>('a' + i % 26)));
            ASSERT_EQ(db->createObject(nullptr, o), CKR_OK);
        }
    } // the last connection closing folds the WAL into the file
    const std::string good = readFile(tokenFile());
    ASSERT_GT(good.size(), 40000u);

    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"garbage", std::string(8192, '\x5a')},
        {"truncated", good.substr(0, good.size() / 2)},
        {"header-only", good.substr(0, 100)},
        {"text", "just some text, not a database\n"},
    };
    for (const auto& c : cases) {
        writeFile(tokenFile(c.name), c.bytes);
        ASSERT_EQ(::chmod(tokenFile(c.name).c_str(), 0600), 0);
        std::unique_ptr<TokenDatabase> db;
        EXPECT_EQ(TokenDatabase::open(config_, c.name, db), CKR_TOKEN_NOT_RECOGNIZED) << c.name;
        EXPECT_FALSE(db) << c.name;
        // Looking at a damaged file must not change it.
        EXPECT_EQ(readFile(tokenFile(c.name)), c.bytes) << c.name;
    }
    std::unique_ptr<TokenDatabase> db;
    EXPECT_EQ(TokenDatabase::open(config_, "missing", db), CKR_DEVICE_ERROR);
    EXPECT_EQ(TokenDatabase::open(config_, "../alpha", db), CKR_ARGUMENTS_BAD);
}

void setColumn(const std::string& file, const std::string& column, std::int64_t value) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    const std::string sql = "UPDATE token SET " + column + " = " + std::to_string(value);
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
}

// A token file may come from anyone; an iteration count beyond what a configuration may set
// would freeze the process checking a PIN, so the file is refused before any derivation.
TEST_F(TokenDb, IterationCountsBeyondTheLimitAreNotRecognized) {
    for (std::int64_t bad : {std::int64_t{kMaxPinIterations} + 1, std::int64_t{UINT32_MAX},
                             std::int64_t{1} << 40, std::int64_t{0}, std::int64_t{-1}}) {
        makeToken();
        setColumn(tokenFile(), "so_iterations", bad);
        std::unique_ptr<TokenDatabase> db;
        EXPECT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_TOKEN_NOT_RECOGNIZED) << bad;
        ASSERT_EQ(TokenDatabase::destroy(config_, "alpha"), CKR_OK);
    }

    makeToken();
    setColumn(tokenFile(), "so_iterations", kMaxPinIterations);
    std::unique_ptr<TokenDatabase> db;
    EXPECT_EQ(TokenDatabase::open(config_, "alpha", db), CKR_OK);

    setColumn(tokenFile(), "user_iterations", std::int64_t{kMaxPinIterations} + 1);
    SecureBytes key;
    EXPECT_EQ(db->login(CKU_USER, pin("user-secret"), key), CKR_TOKEN_NOT_RECOGNIZED);
    EXPECT_TRUE(key.empty());
}

// Anyone who may write to the store folder may swap token files, so such a folder, or one
// of another user, is refused rather than used; a folder made here is owner-only.
TEST_F(TokenDb, SharedOrForeignStoreFoldersAreRefused) {
    ASSERT_EQ(::mkdir(config_.storeDir.c_str(), 0700), 0);
    const auto allRefused = [&](const char* what) {
        EXPECT_EQ(TokenDatabase::create(config_, "alpha", request()), CKR_DEVICE_ERROR) << what;
        std::unique_ptr<SlotTable> slots;
        EXPECT_EQ(SlotTable::open(config_, slots), CKR_DEVICE_ERROR) << what;
        std::unique_ptr<EventLog> log;
        EXPECT_EQ(EventLog::open(config_, log), CKR_DEVICE_ERROR) << what;
        EXPECT_NE(files::unsafeDirReason(config_.storeDir), "") << what;
    };
    for (mode_t mode : {0770, 0707, 0702, 0720}) {
        ASSERT_EQ(::chmod(config_.storeDir.c_str(), mode), 0);
        allRefused(("mode " + std::to_string(mode)).c_str());
    }
    ASSERT_EQ(::chmod(config_.storeDir.c_str(), 0750), 0);
    EXPECT_EQ(files::unsafeDirReason(config_.storeDir), "");
    EXPECT_EQ(TokenDatabase::create(config_, "alpha", request()), CKR_OK);

    // Only root can hand a folder to another user.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(config_.storeDir.c_str(), 65534, 65534), 0);
        allRefused("owned by nobody");
        EXPECT_NE(files::unsafeDirReason(config_.storeDir).find("another user"), std::string::npos);
    }

    config_.storeDir = root_ + "/new/nested/store";
    const mode_t old = ::umask(0);
    EXPECT_EQ(TokenDatabase::create(config_, "alpha", request()), CKR_OK);
    ::umask(old);
    EXPECT_EQ(modeOf(config_.storeDir), 0700u);
    EXPECT_EQ(modeOf(root_ + "/new"), 0700u);
}

TEST_F(TokenDb, DestroyRemovesTheFilesButNotWhileInserted) {
    makeToken();
    std::unique_ptr<SlotTable> slots;
    ASSERT_EQ(SlotTable::open(config_, slots), CKR_OK);
    ASSERT_EQ(slots->insert(1, "alpha"), CKR_OK);
    EXPECT_EQ(TokenDatabase::destroy(config_, "alpha"), CKR_FUNCTION_REJECTED);
    ASSERT_EQ(slots->remove(1), CKR_OK);
    ASSERT_EQ(TokenDatabase::destroy(config_, "alpha"), CKR_OK);
    EXPECT_FALSE(std::filesystem::exists(tokenFile()));
    EXPECT_FALSE(std::filesystem::exists(tokenFile() + "-wal"));
    EXPECT_TRUE(TokenDatabase::list(config_).empty());
    EXPECT_EQ(TokenDatabase::destroy(config_, "alpha"), CKR_ARGUMENTS_BAD);
}

} // namespace
} // namespace softtoken::store::test
