#include "ContainerModel.h"

#include "MessageFlags.h"
#include "SlotEntry.h"
#include "Translator.h"

#include <algorithm>
#include <cctype>

namespace {

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// The container node's text: the label of the certificate as the token holds
// it. Empty when the object is no readable, decodable certificate.
std::string containerLabel(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                           CK_OBJECT_HANDLE handle) {
    Bytes classBytes;
    if (ReadAttributeValue(functions, session, handle, CKA_CLASS, classBytes) != CKR_OK ||
        classBytes.size() != sizeof(CK_OBJECT_CLASS))
        return {};
    CK_OBJECT_CLASS objectClass = 0;
    std::copy(classBytes.begin(), classBytes.end(), reinterpret_cast<unsigned char*>(&objectClass));
    if (objectClass != CKO_CERTIFICATE)
        return {};
    Bytes value;
    if (ReadCertificateValue(functions, session, handle, value) != CKR_OK)
        return {};
    certs::X509Ptr certificate = DecodeCertificateDer(value);
    if (!certificate)
        return {};
    return MakeCertificateLabel(certificate.get());
}

TreeImage kindImage(CK_OBJECT_CLASS kind) {
    switch (kind) {
    case CKO_CERTIFICATE:
        return TreeImage::CertificateValid;
    case CKO_PUBLIC_KEY:
        return TreeImage::PublicKey;
    case CKO_PRIVATE_KEY:
        return TreeImage::PrivateKey;
    default:
        return TreeImage::Data;
    }
}

bool validRoot(const ContainerTree& tree, TreeSelection selection) {
    if (selection.root < 0 || selection.root >= static_cast<int>(tree.roots.size()))
        return false;
    const ContainerNode& root = tree.roots[static_cast<size_t>(selection.root)];
    return selection.child < static_cast<int>(root.children.size());
}

} // namespace

std::string ObjectKindText(CK_OBJECT_CLASS kind) {
    switch (kind) {
    case CKO_DATA:
        return translate(1303, "Data");
    case CKO_CERTIFICATE:
        return translate(1300, "Certificate");
    case CKO_PUBLIC_KEY:
        return translate(1301, "PublicKey");
    case CKO_PRIVATE_KEY:
        return translate(1302, "PrivateKey");
    default:
        return {};
    }
}

void InsertSorted(ContainerNode& root, ObjectNode child) {
    auto position = std::upper_bound(
        root.children.begin(), root.children.end(), child.text,
        [](const std::string& text, const ObjectNode& node) { return text < node.text; });
    root.children.insert(position, std::move(child));
}

ContainerTree BuildContainerTree(CK_FUNCTION_LIST* functions, SlotEntry& slot, std::time_t now) {
    ContainerTree tree;
    if (functions == nullptr)
        return tree;
    SlotEntry::Lock guard = slot.lock();
    if (!slot.tokenPresent || !slot.tokenRecognized)
        return tree;
    slot.loadObjects();
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (slot.getSession(&session) != CKR_OK)
        session = CK_INVALID_HANDLE;
    const CK_SLOT_ID slotId = slot.slotId();

    // Certificates name the containers. Names that differ only in case make one node here.
    for (const TokenObjectInfo& record : slot.objects) {
        if (record.objectClass != CKO_CERTIFICATE)
            continue;
        bool exists =
            std::any_of(tree.roots.begin(), tree.roots.end(), [&](const ContainerNode& r) {
                return equalsIgnoringCase(r.record->containerName, record.containerName);
            });
        if (!exists && session != CK_INVALID_HANDLE) {
            std::string label = containerLabel(functions, session, record.handle);
            if (!label.empty())
                tree.roots.push_back(ContainerNode{&record, label, {}});
        }
        Bytes value;
        if (ReadCertificateValueInOwnSession(functions, slotId, record.handle, value) == CKR_OK)
            tree.knownCertificates.push_back(std::move(value));
    }

    // Every object under the first root of exactly its container name.
    const std::string tokenLabel = slot.tokenLabel();
    for (const TokenObjectInfo& record : slot.objects) {
        if (record.objectClass > CKO_PRIVATE_KEY)
            continue;
        auto root = std::find_if(tree.roots.begin(), tree.roots.end(), [&](const ContainerNode& r) {
            return r.record->containerName == record.containerName;
        });
        if (root == tree.roots.end()) {
            tree.roots.push_back(ContainerNode{&record, tokenLabel, {}});
            root = std::prev(tree.roots.end());
        }
        ObjectNode child{&record, ObjectKindText(record.objectClass),
                         kindImage(record.objectClass)};
        if (record.objectClass == CKO_CERTIFICATE) {
            Bytes value;
            if (ReadCertificateValueInOwnSession(functions, slotId, record.handle, value) != CKR_OK)
                continue;
            certs::X509Ptr certificate = DecodeCertificateDer(value);
            if (!certificate)
                continue;
            child.image = CertificateValidAt(certificate.get(), now)
                              ? TreeImage::CertificateValid
                              : TreeImage::CertificateOutOfDate;
        }
        InsertSorted(*root, std::move(child));
    }
    return tree;
}

ButtonStates ButtonStatesFor(const ContainerTree& tree, TreeSelection selection, bool canModify) {
    ButtonStates states;
    states.importEnabled = canModify;
    if (!validRoot(tree, selection))
        return states;
    states.deleteEnabled = canModify;
    if (selection.isObject()) {
        states.viewEnabled = true;
        const ObjectNode& node = tree.roots[static_cast<size_t>(selection.root)]
                                     .children[static_cast<size_t>(selection.child)];
        states.exportEnabled = node.record->objectClass == CKO_CERTIFICATE;
    }
    return states;
}

TreeSelection InitialSelection(const ContainerTree& tree) {
    TreeSelection selection;
    if (!tree.roots.empty())
        selection.root = 0;
    return selection;
}

bool TabLeavesView(FocusControl focus, const ButtonStates& buttons) {
    switch (focus) {
    case FocusControl::Tree:
        return !buttons.importEnabled && !buttons.exportEnabled && !buttons.viewEnabled;
    case FocusControl::View:
        return !buttons.deleteEnabled;
    case FocusControl::Delete:
        return true;
    default:
        return false;
    }
}

DeleteOutcome DeleteSelection(CK_FUNCTION_LIST* functions, SlotEntry* slot, ContainerTree& tree,
                              TreeSelection selection, Prompter& prompter) {
    DeleteOutcome outcome;
    outcome.selection = selection;
    outcome.asked = true;
    if (!prompter.confirm(1260, "Are you sure to delete it?"))
        return outcome;
    if (functions == nullptr || slot == nullptr || !validRoot(tree, selection))
        return outcome;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (slot->getSession(&session) != CKR_OK || session == CK_INVALID_HANDLE)
        return outcome;
    outcome.attempted = true;

    // Each destroyed certificate leaves the known list, so the duplicate test
    // stays true to what the token holds.
    std::vector<Bytes> destroyedCertificates;
    auto destroy = [&](const ObjectNode& node) {
        Bytes scratchValue;
        if (node.record->objectClass == CKO_CERTIFICATE)
            ReadCertificateValue(functions, session, node.record->handle, scratchValue);
        CK_RV rv = functions->C_DestroyObject(session, node.record->handle);
        if (rv == CKR_OK && !scratchValue.empty())
            destroyedCertificates.push_back(std::move(scratchValue));
        return rv;
    };

    auto rootIt = tree.roots.begin() + selection.root;
    CK_RV rv = CKR_OK;
    if (!selection.isObject()) {
        while (!rootIt->children.empty()) {
            rv = destroy(rootIt->children.front());
            if (rv != CKR_OK)
                break;
            rootIt->children.erase(rootIt->children.begin());
        }
        if (rv == CKR_OK)
            tree.roots.erase(rootIt);
    } else {
        auto childIt = rootIt->children.begin() + selection.child;
        rv = destroy(*childIt);
        if (rv == CKR_OK) {
            rootIt->children.erase(childIt);
            if (rootIt->children.empty())
                tree.roots.erase(rootIt);
        }
    }

    for (const Bytes& value : destroyedCertificates) {
        auto known = std::find(tree.knownCertificates.begin(), tree.knownCertificates.end(), value);
        if (known != tree.knownCertificates.end())
            tree.knownCertificates.erase(known);
    }

    if (rv != CKR_OK) {
        outcome.rv = rv;
        outcome.message = {1262, "Delete data failed!", MB_ICONERROR};
        if (!selection.isObject())
            outcome.selection.child = -1;
        return outcome;
    }
    if (slot->tokenPresent)
        slot->refreshTokenInfo();
    // The tree as a refresh makes it: a container whose certificate went is
    // named after the token, and stands where a refresh puts it.
    tree = BuildContainerTree(functions, *slot, std::time(nullptr));
    outcome.succeeded = true;
    outcome.selection = InitialSelection(tree);
    outcome.message = {1261, "Delete data successfully!", MB_ICONINFORMATION};
    return outcome;
}
