// Throughput of PKCS#11 modules side by side, with raw OpenSSL as the floor.
//
//   token_bench [--seconds S] [--objects N] NAME=MODULE_PATH:PIN [NAME=MODULE_PATH:PIN ...]
//
// Every module is driven the same way through its function list: the first
// slot holding a token, a R/W session, user login. The first module is the one
// under test; every later one is a reference it is compared with. The modules'
// own configuration (store folders, tokens) is prepared by scripts/run-bench.sh.

#include <korvan/vendor_aux.h>
#include <p11-kit/pkcs11.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string rvText(CK_RV rv) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(rv));
    return buf;
}

void check(CK_RV rv, const char* what) {
    if (rv != CKR_OK)
        throw std::runtime_error(std::string(what) + " failed: " + rvText(rv));
}

// Runs op repeatedly for about `budget` seconds (at least `minOps` times) and
// returns operations per second.
double rate(double budget, int minOps, const std::function<void()>& op) {
    op(); // warm-up: caches, key building
    long n = 0;
    const auto start = Clock::now();
    Clock::duration elapsed{};
    do {
        op();
        ++n;
        elapsed = Clock::now() - start;
    } while (n < minOps || seconds(elapsed) < budget);
    return static_cast<double>(n) / seconds(elapsed);
}

struct Options {
    double seconds = 2.0; // per metric and subject, spread over the rounds
    int objects = 1000;
};

// Result table: metric name -> value per subject. Higher is better unless the
// metric is a time.
struct Row {
    std::string metric;
    bool isTime = false; // seconds: lower is better
    std::map<std::string, double> values;
};

class Table {
public:
    void set(const std::string& metric, bool isTime, const std::string& subject, double v) {
        for (Row& r : rows_)
            if (r.metric == metric) {
                r.values[subject] = v;
                return;
            }
        rows_.push_back(Row{metric, isTime, {{subject, v}}});
    }
    const std::vector<Row>& rows() const { return rows_; }

private:
    std::vector<Row> rows_;
};

std::string formatValue(double v, bool isTime) {
    char buf[64];
    if (!isTime)
        std::snprintf(buf, sizeof buf, "%.0f/s", v);
    else if (v < 1e-3)
        std::snprintf(buf, sizeof buf, "%.2f us", v * 1e6);
    else if (v < 1.0)
        std::snprintf(buf, sizeof buf, "%.2f ms", v * 1e3);
    else
        std::snprintf(buf, sizeof buf, "%.3f s", v);
    return buf;
}

// --- OpenSSL directly -------------------------------------------------------

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

const unsigned char kMessage[] = "A message of a typical length for a signature over a document "
                                 "hash or a login challenge, 128 bytes or so, padded here.....";

// One signing or verifying operation of one subject, run over and over.
using Op = std::function<void()>;

// Keys and operations of raw OpenSSL: the floor every module is held to.
struct OpenSslSubject {
    std::map<int, Pkey> keys;
    std::map<int, std::vector<unsigned char>> signatures; // SHA-256 signature per size

    OpenSslSubject() {
        for (int bits : {1024, 2048}) {
            keys[bits].reset(EVP_RSA_gen(static_cast<unsigned>(bits)));
            if (!keys[bits])
                throw std::runtime_error("EVP_RSA_gen failed");
            std::vector<unsigned char>& sig = signatures[bits];
            sig.resize(static_cast<std::size_t>(EVP_PKEY_get_size(keys[bits].get())));
            sign(bits, EVP_sha256(), sig);
        }
    }
    void sign(int bits, const EVP_MD* md, std::vector<unsigned char>& sig) const {
        MdCtx ctx(EVP_MD_CTX_new());
        std::size_t len = sig.size();
        if (EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, keys.at(bits).get()) != 1 ||
            EVP_DigestSign(ctx.get(), sig.data(), &len, kMessage, sizeof kMessage) != 1)
            throw std::runtime_error("EVP_DigestSign failed");
    }
    Op signOp(int bits, const EVP_MD* md) {
        auto sig = std::make_shared<std::vector<unsigned char>>(signatures[bits].size());
        return [this, bits, md, sig] { sign(bits, md, *sig); };
    }
    Op verifyOp(int bits) {
        return [this, bits] {
            const auto& sig = signatures[bits];
            MdCtx v(EVP_MD_CTX_new());
            if (EVP_DigestVerifyInit(v.get(), nullptr, EVP_sha256(), nullptr, keys[bits].get()) !=
                    1 ||
                EVP_DigestVerify(v.get(), sig.data(), sig.size(), kMessage, sizeof kMessage) != 1)
                throw std::runtime_error("EVP_DigestVerify failed");
        };
    }
};

// --- A PKCS#11 module ---------------------------------------------------------

struct Subject {
    std::string name;
    std::string path;
    std::string pin;
};

class Library {
public:
    explicit Library(const std::string& path) {
        handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_)
            throw std::runtime_error("cannot load " + path + ": " + ::dlerror());
        auto get = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle_, "C_GetFunctionList"));
        if (!get)
            throw std::runtime_error(path + " has no C_GetFunctionList");
        check(get(&f_), "C_GetFunctionList");
        if (auto aux =
                reinterpret_cast<E_GetAuxFunctionList_t>(::dlsym(handle_, "E_GetAuxFunctionList")))
            check(aux(&aux_), "E_GetAuxFunctionList");
    }
    ~Library() {
        if (handle_)
            ::dlclose(handle_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    CK_FUNCTION_LIST* f() const { return f_; }
    VendorAuxFunctionList* aux() const { return aux_; }

private:
    void* handle_ = nullptr;
    CK_FUNCTION_LIST* f_ = nullptr;
    VendorAuxFunctionList* aux_ = nullptr;
};

CK_SLOT_ID firstTokenSlot(CK_FUNCTION_LIST* f) {
    CK_ULONG n = 0;
    check(f->C_GetSlotList(CK_TRUE, nullptr, &n), "C_GetSlotList");
    if (n == 0)
        throw std::runtime_error("no slot holds a token");
    std::vector<CK_SLOT_ID> slots(n);
    check(f->C_GetSlotList(CK_TRUE, slots.data(), &n), "C_GetSlotList");
    return slots[0];
}

struct KeyPair {
    CK_OBJECT_HANDLE pub = 0;
    CK_OBJECT_HANDLE priv = 0;
};

KeyPair generate(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_ULONG bits) {
    CK_MECHANISM mech{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_BYTE exponent[] = {0x01, 0x00, 0x01};
    CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &no, sizeof no},
                          {CKA_VERIFY, &yes, sizeof yes},
                          {CKA_MODULUS_BITS, &bits, sizeof bits},
                          {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent}};
    CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &no, sizeof no},
                           {CKA_PRIVATE, &yes, sizeof yes},
                           {CKA_SENSITIVE, &yes, sizeof yes},
                           {CKA_SIGN, &yes, sizeof yes}};
    KeyPair k;
    check(f->C_GenerateKeyPair(s, &mech, pub, 4, priv, 4, &k.pub, &k.priv), "C_GenerateKeyPair");
    return k;
}

// One loaded module with a logged-in session and a key pair per size.
class ModuleSubject {
public:
    ModuleSubject(const Subject& subject, bool underTest, Table& table)
        : subject_(subject), lib_(subject.path), f_(lib_.f()) {
        if (underTest && !lib_.aux())
            throw std::runtime_error(subject.path + " has no E_GetAuxFunctionList");
        check(f_->C_Initialize(nullptr), "C_Initialize");
        slot_ = firstTokenSlot(f_);
        check(f_->C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s_),
              "C_OpenSession");
        // Login: a PIN check with the module's key derivation, then logout.
        const int rounds = 5;
        Clock::duration total{};
        for (int i = 0; i < rounds; ++i) {
            const auto t0 = Clock::now();
            login();
            total += Clock::now() - t0;
            check(f_->C_Logout(s_), "C_Logout");
        }
        table.set("C_Login", true, subject.name, seconds(total) / rounds);
        login();
        for (CK_ULONG bits : {1024ul, 2048ul})
            keys_[bits] = generate(f_, s_, bits);
    }
    ~ModuleSubject() {
        if (f_)
            f_->C_Finalize(nullptr);
    }
    ModuleSubject(const ModuleSubject&) = delete;
    ModuleSubject& operator=(const ModuleSubject&) = delete;

    const std::string& name() const { return subject_.name; }

    Op signOp(CK_ULONG bits, CK_MECHANISM_TYPE type) {
        auto sig = std::make_shared<std::vector<CK_BYTE>>(bits / 8);
        const CK_OBJECT_HANDLE key = keys_.at(bits).priv;
        return [this, sig, key, type] {
            CK_MECHANISM mech{type, nullptr, 0};
            CK_ULONG len = static_cast<CK_ULONG>(sig->size());
            check(f_->C_SignInit(s_, &mech, key), "C_SignInit");
            check(
                f_->C_Sign(s_, const_cast<CK_BYTE*>(kMessage), sizeof kMessage, sig->data(), &len),
                "C_Sign");
        };
    }
    Op verifyOp(CK_ULONG bits) {
        auto sig = std::make_shared<std::vector<CK_BYTE>>(bits / 8);
        CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
        CK_ULONG len = static_cast<CK_ULONG>(sig->size());
        check(f_->C_SignInit(s_, &mech, keys_.at(bits).priv), "C_SignInit");
        check(f_->C_Sign(s_, const_cast<CK_BYTE*>(kMessage), sizeof kMessage, sig->data(), &len),
              "C_Sign");
        sig->resize(len);
        const CK_OBJECT_HANDLE key = keys_.at(bits).pub;
        return [this, sig, key] {
            CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
            check(f_->C_VerifyInit(s_, &m, key), "C_VerifyInit");
            check(f_->C_Verify(s_, const_cast<CK_BYTE*>(kMessage), sizeof kMessage, sig->data(),
                               static_cast<CK_ULONG>(sig->size())),
                  "C_Verify");
        };
    }

    // Token objects, enumeration and the idle poll; ends with the module finalized.
    void storage(const Options& o, Table& table) {
        // Durable token data objects, each C_CreateObject its own commit.
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
        const auto start = Clock::now();
        for (int i = 0; i < o.objects; ++i) {
            const std::string label = "bench object " + std::to_string(i);
            const std::string value = "value of object " + std::to_string(i);
            CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                                {CKA_TOKEN, &yes, sizeof yes},
                                {CKA_PRIVATE, &no, sizeof no},
                                {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                                {CKA_VALUE, const_cast<char*>(value.data()), value.size()}};
            CK_OBJECT_HANDLE h = 0;
            check(f_->C_CreateObject(s_, t, 5, &h), "C_CreateObject");
        }
        table.set("C_CreateObject (token data)", false, name(),
                  o.objects / seconds(Clock::now() - start));

        const std::string what = "enumerate " + std::to_string(o.objects) + " objects";
        table.set(what + " (warm)", true, name(), enumerate(o));
        // The same right after the module is loaded again: nothing cached.
        check(f_->C_Finalize(nullptr), "C_Finalize");
        check(f_->C_Initialize(nullptr), "C_Initialize");
        check(f_->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &s_), "C_OpenSession");
        table.set(what + " (fresh)", true, name(), enumerate(o));

        if (VendorAuxFunctionList* aux = lib_.aux()) {
            CK_SLOT_ID eventSlot = 0;
            CK_ULONG event = 0, extra = 0;
            while (aux->E_PollSlotEvent(E_POLL_DONT_BLOCK, &eventSlot, &event, &extra, nullptr) ==
                   CKR_OK) {
            }
            const int calls = 200000;
            const auto t0 = Clock::now();
            for (int i = 0; i < calls; ++i)
                if (aux->E_PollSlotEvent(E_POLL_DONT_BLOCK, &eventSlot, &event, &extra, nullptr) !=
                    CKR_NO_EVENT)
                    throw std::runtime_error("unexpected slot event while idle");
            table.set("E_PollSlotEvent, idle", true, name(), seconds(Clock::now() - t0) / calls);
        }
    }

private:
    void login() {
        auto* pin = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(subject_.pin.c_str()));
        check(f_->C_Login(s_, CKU_USER, pin, static_cast<CK_ULONG>(subject_.pin.size())),
              "C_Login");
    }

    // As the manager does it: one handle per C_FindObjects, then its class.
    double enumerate(const Options& o) {
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, &yes, sizeof yes}};
        const auto start = Clock::now();
        check(f_->C_FindObjectsInit(s_, tmpl, 1), "C_FindObjectsInit");
        long found = 0;
        for (;;) {
            CK_OBJECT_HANDLE h = 0;
            CK_ULONG n = 0;
            check(f_->C_FindObjects(s_, &h, 1, &n), "C_FindObjects");
            if (n == 0)
                break;
            CK_OBJECT_CLASS cls = 0;
            CK_ATTRIBUTE a{CKA_CLASS, &cls, sizeof cls};
            check(f_->C_GetAttributeValue(s_, h, &a, 1), "C_GetAttributeValue");
            ++found;
        }
        check(f_->C_FindObjectsFinal(s_), "C_FindObjectsFinal");
        if (found < o.objects)
            throw std::runtime_error("enumeration found " + std::to_string(found) + " objects");
        return seconds(Clock::now() - start);
    }

    Subject subject_;
    Library lib_;
    CK_FUNCTION_LIST* f_ = nullptr;
    CK_SLOT_ID slot_ = 0;
    CK_SESSION_HANDLE s_ = 0;
    std::map<CK_ULONG, KeyPair> keys_;
};

// The signing and verifying rates of every subject, measured in alternating
// rounds so that a burst of load on a shared machine does not favour one of
// them; each subject's best round counts.
void benchCrypto(std::vector<std::unique_ptr<ModuleSubject>>& modules, const Options& o,
                 Table& table) {
    OpenSslSubject ossl;
    const int rounds = 5;
    auto measure = [&](const std::string& metric, std::vector<std::pair<std::string, Op>> ops) {
        std::map<std::string, double> best;
        for (int r = 0; r < rounds; ++r)
            for (auto& [subject, op] : ops)
                best[subject] = std::max(best[subject], rate(o.seconds / rounds, 10, op));
        for (const auto& [subject, value] : best)
            table.set(metric, false, subject, value);
    };
    for (int bits : {1024, 2048}) {
        const auto b = static_cast<CK_ULONG>(bits);
        const std::string prefix = "RSA-" + std::to_string(bits);
        for (auto [name, type, md] : {std::tuple{"SHA256", CKM_SHA256_RSA_PKCS, EVP_sha256()},
                                      std::tuple{"MD5", CKM_MD5_RSA_PKCS, EVP_md5()}}) {
            std::vector<std::pair<std::string, Op>> ops;
            for (auto& m : modules)
                ops.emplace_back(m->name(), m->signOp(b, type));
            ops.emplace_back("openssl", ossl.signOp(bits, md));
            measure(prefix + " sign " + name + "_RSA_PKCS", std::move(ops));
        }
        std::vector<std::pair<std::string, Op>> ops;
        for (auto& m : modules)
            ops.emplace_back(m->name(), m->verifyOp(b));
        ops.emplace_back("openssl", ossl.verifyOp(bits));
        measure(prefix + " verify SHA256_RSA_PKCS", std::move(ops));
    }
}

// --- Report -------------------------------------------------------------------

// Targets: name fragment -> (reference, minimum ratio of ours to it, where ratio
// is "how many times as good": rate/rate or time_ref/time).
struct Target {
    const char* metric;
    const char* reference;
    double minRatio;
};

const Target kTargets[] = {
    {"sign", "openssl", 0.95},
    {"sign", "softhsm2", 1.0},
    {"verify", "openssl", 0.8},
    {"C_CreateObject", "softhsm2", 1.0},
    {"enumerate", "softhsm2", 1.0},
};
constexpr double kIdlePollLimit = 20e-6;

int report(const Table& table, const std::vector<std::string>& subjects) {
    const std::string& ours = subjects.front();
    std::printf("\n%-36s", "metric");
    for (const auto& s : subjects)
        std::printf(" %14s", s.c_str());
    for (std::size_t i = 1; i < subjects.size(); ++i)
        std::printf(" %14s", (ours + "/" + subjects[i]).substr(0, 14).c_str());
    std::printf("  target\n");
    int missed = 0;
    for (const Row& row : table.rows()) {
        std::printf("%-36s", row.metric.c_str());
        for (const auto& s : subjects) {
            auto it = row.values.find(s);
            std::printf(" %14s",
                        it == row.values.end() ? "-" : formatValue(it->second, row.isTime).c_str());
        }
        std::string verdict;
        auto mine = row.values.find(ours);
        for (std::size_t i = 1; i < subjects.size(); ++i) {
            auto ref = row.values.find(subjects[i]);
            if (mine == row.values.end() || ref == row.values.end() || mine->second <= 0) {
                std::printf(" %14s", "-");
                continue;
            }
            // Ratio > 1 means ours is better.
            const double ratio =
                row.isTime ? ref->second / mine->second : mine->second / ref->second;
            std::printf(" %13.2fx", ratio);
            for (const Target& t : kTargets)
                if (row.metric.find(t.metric) != std::string::npos && subjects[i] == t.reference) {
                    const bool ok = ratio >= t.minRatio;
                    missed += ok ? 0 : 1;
                    char buf[64];
                    std::snprintf(buf, sizeof buf, "%s>=%.2fx vs %s", ok ? "ok " : "MISS ",
                                  t.minRatio, t.reference);
                    verdict += (verdict.empty() ? "" : ", ") + std::string(buf);
                }
        }
        if (row.metric.rfind("E_PollSlotEvent", 0) == 0 && mine != row.values.end()) {
            const bool ok = mine->second < kIdlePollLimit;
            missed += ok ? 0 : 1;
            verdict = std::string(ok ? "ok " : "MISS ") + "< 20 us";
        }
        std::printf("  %s\n", verdict.c_str());
    }
    std::printf("\nRatios: %s's rate over the reference's, or the reference's time over %s's;"
                " above 1.00x %s is faster.\n",
                ours.c_str(), ours.c_str(), ours.c_str());
    if (missed)
        std::printf("%d target(s) missed.\n", missed);
    return missed ? 3 : 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    std::vector<Subject> subjects;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            o.seconds = std::atof(argv[++i]);
        } else if (a == "--objects" && i + 1 < argc) {
            o.objects = std::atoi(argv[++i]);
        } else if (a == "--help" || a == "-h") {
            std::printf("usage: token_bench [--seconds S] [--objects N] NAME=MODULE:PIN...\n"
                        "The first module is measured against the others and raw OpenSSL.\n");
            return 0;
        } else {
            const auto eq = a.find('='), colon = a.rfind(':');
            if (eq == std::string::npos || colon == std::string::npos || colon < eq) {
                std::fprintf(stderr, "token_bench: expected NAME=MODULE:PIN, not %s\n", a.c_str());
                return 1;
            }
            subjects.push_back(
                {a.substr(0, eq), a.substr(eq + 1, colon - eq - 1), a.substr(colon + 1)});
        }
    }
    if (subjects.empty() || o.seconds <= 0 || o.objects <= 0) {
        std::fprintf(stderr, "token_bench: give at least one NAME=MODULE:PIN (see --help)\n");
        return 1;
    }
    Table table;
    std::vector<std::string> names;
    try {
        std::vector<std::unique_ptr<ModuleSubject>> modules;
        for (std::size_t i = 0; i < subjects.size(); ++i) {
            std::fprintf(stderr, "loading %s (%s)...\n", subjects[i].name.c_str(),
                         subjects[i].path.c_str());
            modules.push_back(std::make_unique<ModuleSubject>(subjects[i], i == 0, table));
            names.push_back(subjects[i].name);
        }
        names.push_back("openssl");
        std::fprintf(stderr, "signing and verifying...\n");
        benchCrypto(modules, o, table);
        for (auto& m : modules) {
            std::fprintf(stderr, "objects of %s...\n", m->name().c_str());
            m->storage(o, table);
            m.reset();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "token_bench: %s\n", e.what());
        return 2;
    }
    return report(table, names);
}
