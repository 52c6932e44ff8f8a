#pragma once

// The certificate view's model without any toolkit: how the objects of a
// token group into key containers, the texts and images of the tree, the
// button and keyboard rules, and the delete. The Qt view renders a
// ContainerTree and calls these functions; korvanng-tool prints the same tree.

#include "CertCommon.h"

#include "TokenObjectInfo.h"

#include <ctime>
#include <string>
#include <vector>

class SlotEntry;

// Images of the tree's image list (image 3 is unused).
enum class TreeImage {
    CertificateValid = 0,
    CertificateOutOfDate = 1,
    Data = 2,
    PrivateKey = 4,
    PublicKey = 5,
    Container = 6,
};

struct ObjectNode {
    const TokenObjectInfo* record = nullptr; // points into SlotEntry::objects
    std::string text;
    TreeImage image = TreeImage::Data;
};

struct ContainerNode {
    const TokenObjectInfo* record = nullptr; // the record that created the node
    std::string text;
    std::vector<ObjectNode> children; // sorted by text
};

struct ContainerTree {
    std::vector<ContainerNode> roots; // in creation order
    // CKA_VALUE of every certificate on the token, in enumeration order; the
    // duplicate test of every import uses it.
    std::vector<Bytes> knownCertificates;
};

// Translated child text of an object kind (1300 "Certificate", 1301
// "PublicKey", 1302 "PrivateKey", 1303 "Data"); empty for other kinds.
std::string ObjectKindText(CK_OBJECT_CLASS kind);

// Reloads the slot's objects (loadObjects) and groups them: certificates make
// container nodes first (container names compared without regard to case),
// then every object of kind 0 to 3 hangs under the first root with exactly its
// container name, or under a new root named after the token. Records stay
// owned by the slot: the tree is valid until its next loadObjects(). An absent
// or unrecognized token gives an empty tree.
ContainerTree BuildContainerTree(CK_FUNCTION_LIST* functions, SlotEntry& slot, std::time_t now);

// Adds one child in sorted position (after siblings with the same text).
void InsertSorted(ContainerNode& root, ObjectNode child);

// Where the tree's selection is: nothing, a container, or an object in it.
struct TreeSelection {
    int root = -1;  // index into roots; -1 with no selection
    int child = -1; // index into that root's children; -1 for the root itself
    bool none() const { return root < 0; }
    bool isObject() const { return root >= 0 && child >= 0; }
};

struct ButtonStates {
    bool importEnabled = false;
    bool exportEnabled = false;
    bool viewEnabled = false;
    bool deleteEnabled = false;
};

// View needs an object item, Delete a selection and canModify, Export a
// certificate item; Import follows canModify.
ButtonStates ButtonStatesFor(const ContainerTree& tree, TreeSelection selection, bool canModify);

// The first root when there is one, else no selection.
TreeSelection InitialSelection(const ContainerTree& tree);

enum class FocusControl { Tree, Import, Export, View, Delete };
// True when Tab on `focus` moves to the navigation pane instead of the next
// control: on the tree when Import, Export and View are all off, on View
// when Delete is off, and always on Delete.
bool TabLeavesView(FocusControl focus, const ButtonStates& buttons);

struct ViewMessage {
    int id = 0; // 0: no message
    const char* defaultText = nullptr;
    unsigned flags = 0; // MB_* flags
};

struct DeleteOutcome {
    bool asked = false;     // the question was shown
    bool attempted = false; // preconditions held and objects were destroyed or tried
    bool succeeded = false;
    ViewMessage message;     // 1261 after success, 1262 after a failed destroy
    TreeSelection selection; // what the view selects afterwards
    CK_RV rv = CKR_OK;       // the failing C_DestroyObject's result
};

// Deletes the selected container (all its children, in order, then the
// container) or the selected object (and its container when that empties),
// after message 1260 is answered Yes. After a success `tree` is built anew
// from the token (reloading the slot's objects), exactly as a refresh would
// build it, and the first root is selected. The first failing destroy ends
// the delete with message 1262: items of objects destroyed before it leave
// the tree, and every destroyed certificate's value leaves
// `tree.knownCertificates`.
DeleteOutcome DeleteSelection(CK_FUNCTION_LIST* functions, SlotEntry* slot, ContainerTree& tree,
                              TreeSelection selection, Prompter& prompter);
