#pragma once

// Every bus name, object path, interface, property and enumeration value the
// updater uses. Nothing else in the tree spells these strings.

namespace names
{

// Standard interfaces.
inline constexpr const char* propertiesInterface =
    "org.freedesktop.DBus.Properties";
inline constexpr const char* propertyGet = "Get";
inline constexpr const char* propertySet = "Set";

// Object mapper.
inline constexpr const char* mapperService = "xyz.morvex_project.ObjectMapper";
inline constexpr const char* mapperPath = "/xyz/morvex_project/object_mapper";
inline constexpr const char* mapperInterface =
    "xyz.morvex_project.ObjectMapper";
inline constexpr const char* mapperGetSubTree = "GetSubTree";
inline constexpr const char* subtreeRoot = "/xyz/morvex_project";

// BIOS update service and its software objects.
inline constexpr const char* biosUpdaterService =
    "xyz.morvex_project.Software.BIOS.Updater";
inline constexpr const char* softwareRoot = "/xyz/morvex_project/software";

// Service hosting BIOS-configuration jobs.
inline constexpr const char* biosConfigService =
    "xyz.morvex_project.Inventory.BIOS.Config";

// Interfaces and their properties.
inline constexpr const char* jobControlInterface =
    "xyz.morvex_project.Software.JobControl";
inline constexpr const char* jobIdProperty = "JobID";

inline constexpr const char* filePathInterface =
    "xyz.morvex_project.Common.FilePath";
inline constexpr const char* pathProperty = "Path";

inline constexpr const char* versionInterface =
    "xyz.morvex_project.Software.Version";
inline constexpr const char* versionProperty = "Version";
inline constexpr const char* releaseTypeProperty = "releaseType";

inline constexpr const char* activationInterface =
    "xyz.morvex_project.Software.Activation";
inline constexpr const char* activationProperty = "Activation";

inline constexpr const char* activationProgressInterface =
    "xyz.morvex_project.Software.ActivationProgress";
inline constexpr const char* progressProperty = "Progress";

// Enumeration values.
inline constexpr const char* activationActive =
    "xyz.morvex_project.Software.Activation.Activations.Active";
inline constexpr const char* activationFailed =
    "xyz.morvex_project.Software.Activation.Activations.Failed";
inline constexpr const char* activationStaged =
    "xyz.morvex_project.Software.Activation.Activations.Staged";
inline constexpr const char* releaseTypeProduction =
    "xyz.morvex_project.Software.Version.ReleaseType.Production";
inline constexpr const char* releaseTypePrototype =
    "xyz.morvex_project.Software.Version.ReleaseType.Prototype";

} // namespace names
