// Preservers of an item's inode properties: taken before an item is read and
// put back (by reset) when the reader is done with it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <string>

// The interface the file reader keeps a list of.
class InodePropPreserverImpl {
public:
    virtual ~InodePropPreserverImpl() {}
    // Puts the preserved properties back.
    virtual void reset() = 0;
    virtual std::string getname() const = 0;
    // 1 when the preserved stat describes a symbolic link, else 0.
    virtual int getstatresult() const = 0;
    virtual time_t getatime() const = 0;
    virtual time_t getmtime() const = 0;
    virtual uid_t getinodeuid() const = 0;
    virtual mode_t getmode() const = 0;
};

// Holds an item's name and a copy of its stat record (S: struct stat or a
// record with the same members); puts nothing back itself.
template <class S>
class CoreInodePropPreserver : public InodePropPreserverImpl {
public:
    CoreInodePropPreserver(const std::string& name, const S& st) : m_name(name), m_stat(st) {}

    void reset() override {}
    std::string getname() const override { return m_name; }
    int getstatresult() const override { return S_ISLNK(m_stat.st_mode) ? 1 : 0; }
    time_t getatime() const override { return m_stat.st_atime; }
    time_t getmtime() const override { return m_stat.st_mtime; }
    uid_t getinodeuid() const override { return m_stat.st_uid; }
    mode_t getmode() const override { return m_stat.st_mode; }

    // The name and the stat copy as taken.
    const std::string& name() const { return m_name; }
    const S& statRecord() const { return m_stat; }

private:
    std::string m_name;
    S m_stat;
};
