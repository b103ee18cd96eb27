// The application registry: applications (by zonark id and application id),
// their instances and subclients.
//
// Stand-in: in-process tables that the host program (registerApplication, from
// its job options) or tests fill; a subclient is found by its application id.
#pragma once

#include <string>
#include <vector>

// What the registry knows of one application, its instance and subclient.
struct AppRecord {
    unsigned long appType = 0;
    bool hasInstance = true;
    unsigned long instanceEngineType = 0;  // the snapshot engine of the instance
    bool hasSubclient = true;
    bool blockLevelBackup = false;         // the subclient backs up block-level
    bool commandLineBackup = false;        // the subclient's database backups run from the command line
    bool previousJobKnown = false;         // whether the subclient's previous backup job is known
    unsigned long long previousJobId = 0;  // 0: no backup before
    bool hasRefTime = false;               // the subclient holds stored reference times
    std::string refTime;
    std::vector<std::string> contentEntries;  // the subclient's content, in order
};

// "zonark:application" identifies an application.
struct ApplicationId {
    unsigned zonarkId = 0;
    unsigned appId = 0;

    ApplicationId() = default;
    ApplicationId(unsigned zonark, unsigned app) : zonarkId(zonark), appId(app) {}
    // "%u:%u"; any other text gives 0:0.
    explicit ApplicationId(const std::string& text);
    std::string toString() const;

    // Loads the application's information; getApplicationId then answers 0
    // when it was found, non-zero when it was not.
    void getAppIdInfo();
    int getApplicationId() const { return m_lookupError; }
    // The application type (0 when unknown).
    unsigned long getAppType() const;

private:
    int m_lookupError = -1;
};

// A subclient's view of the registry; every answer is false/empty when the
// registry has no such subclient.
class Subclient {
public:
    explicit Subclient(unsigned long appId) : m_appId(appId) {}
    bool exists() const;
    bool getUseBlockLevelBackup() const;
    bool isCommandLineBackup() const;
    bool getPreviousJobId(unsigned long long& out) const;
    // The stored reference times: false when the subclient holds none.
    bool copyBkpRefTime(std::string& out) const;
    bool setBkpRefTime(const std::string& text);
    // The subclient's content entries: false when there is no subclient.
    bool getContent(std::vector<std::string>& out) const;

private:
    unsigned long m_appId;
};

class ApplicationRegistry {
public:
    // The record of an application (null when unknown); zonark id 0 matches
    // any zonark.
    static AppRecord* find(unsigned zonarkId, unsigned long appId);
    // The engine type of the application's instance: false when it has none.
    static bool instanceEngineType(const ApplicationId& id, unsigned long& out);

    // Describes an application (replacing what was known of it).
    static void registerApplication(unsigned zonarkId, unsigned long appId, const AppRecord& record);
};
