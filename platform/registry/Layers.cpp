#include "platform/registry/Layers.h"

#include "platform/registry/JsonStore.h"
#include "platform/registry/MachineLayer.h"

#include <cstdlib>

namespace platform::registry {

namespace {

Layer userLayer(RegistryRoot root, QString prefix, bool createHere) {
    Layer layer;
    layer.file = registryFilePath(root);
    layer.prefix = std::move(prefix);
    layer.createHere = createHere;
    layer.loaded = loadJsonStore(layer.file);
    return layer;
}

Layer machineLayer(QString prefix) {
    Layer layer;
    layer.prefix = std::move(prefix);
    layer.loaded.keys = machineKeys();
    return layer;
}

} // namespace

bool machineWide() {
    const char* folder = std::getenv("KORVAN_REGISTRY_DIR");
    return (folder == nullptr || *folder == '\0') && machineLayerPresent();
}

std::vector<Layer> layersOf(RegistryRoot root) {
    std::vector<Layer> layers;
    if (!machineWide()) {
        layers.push_back(userLayer(root, QString(), true));
        return layers;
    }
    const QString classes = QString::fromLatin1(kMachineClassesKey);
    switch (root) {
    case RegistryRoot::LocalMachine:
        layers.push_back(machineLayer(QString()));
        break;
    case RegistryRoot::CurrentUser:
        layers.push_back(userLayer(RegistryRoot::CurrentUser, QString(), true));
        break;
    case RegistryRoot::ClassesRoot:
        layers.push_back(userLayer(RegistryRoot::CurrentUser, classes, true));
        layers.push_back(userLayer(RegistryRoot::ClassesRoot, QString(), false));
        layers.push_back(machineLayer(classes));
        break;
    }
    return layers;
}

std::string machineWideRefusal() {
    return "HKEY_LOCAL_MACHINE is machine-wide here (" + machineRegistryDir() + " and " +
           machineRegistryFile() + "): only the administrator changes it";
}

} // namespace platform::registry
