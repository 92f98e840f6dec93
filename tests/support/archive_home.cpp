#include "platform/cclient_records.h"

#include "support/archive_home.h"

#include <cstdio>
#include <stdexcept>

#include "dlarchive/records.h"
#include "dlarchive/relation_store.h"
#include "platform/cclient.h"

namespace testenv {

ArchiveHome::ArchiveHome(const std::string& autoRebuild, const std::string& extraIni)
{
    WriteIni(autoRebuild, extraIni);
    const std::string languages = m_home / "web/vubo/languages/dlarchives";
    MakeDirs(languages);
    for (const char* name : {"en-us.txt", "de-de.txt"})
        WriteFile(languages + "/" + name,
                  ReadFile(std::string(DLARCHIVE_SOURCE_DIR) + "/data/web/vubo/languages/dlarchives/" + name));
    for (const char* relation : {"archiveenv", "archivebody"})
        if (diaRel::Create(m_home.path().c_str(), relation) != db_ok)
            throw std::runtime_error("cannot create the relation templates");
}

void ArchiveHome::WriteIni(const std::string& autoRebuild, const std::string& extraIni)
{
    m_config.Write("[DlManager]\nDbPath=" + m_home.path() + "\n" +
                   (autoRebuild.empty() ? "" : "AuthoRebuild=" + autoRebuild + "\n") +
                   "[Config]\nWebAdminDirectory=" + m_home.path() +
                   "/web\n"
                   "[Language Selection]\nen-us=English,utf-8,en-us.txt\nde-de=Deutsch,utf-8,de-de.txt\n" +
                   "[Gateway]\nLogDirectory=" + m_home.path() + "/log\n" + extraIni);
}

std::string ArchiveHome::ArchivePath(const std::string& list) const
{
    return m_home / (list + "/archive/");
}

std::string ArchiveHome::CreateList(const std::string& list, bool withRelations)
{
    const std::string archive = ArchivePath(list);
    MakeDirs(archive);
    if (withRelations)
        for (const char* relation : {"archiveenv", "archivebody"})
            if (diaRel::Create(archive.c_str(), relation) != db_ok)
                throw std::runtime_error("cannot create the relations of " + list);
    return archive;
}

std::pair<int, std::string> SalesList::Add(uint32_t number)
{
    return Thrown([&] { manager.AddArchive(archive.c_str(), number); });
}

std::vector<uint32_t> SalesList::Stored()
{
    diamondBase base;
    archiveenv env(base, archive.c_str());
    std::vector<uint32_t> ids;
    for (env.first(); env.status() == db_ok; env.next())
        if (env.key().seq == 0) ids.push_back(env.key().id);
    return ids;
}

std::pair<int, std::string> SalesList::Read(uint32_t number, bool body)
{
    mail_envelope* envelope = nullptr;
    mail_bodystruct* structure = nullptr;
    uint32_t size = 0, header = 0;
    const auto thrown = Thrown([&] {
        if (body)
            manager.GetArchiveBody(number, 0, structure, size, header);
        else
            manager.GetArchiveEnv(number, 0, envelope, size, header);
    });
    dlarchive::cclient::FreeEnvelope(&envelope);
    dlarchive::cclient::FreeBody(&structure);
    return thrown;
}

std::string MessageName(uint32_t number)
{
    char name[16];
    std::snprintf(name, sizeof name, "%x.msg", number);
    return name;
}

std::string ArchiveHome::WriteMessage(const std::string& list, uint32_t number, const std::string& content)
{
    const std::string path = ArchivePath(list) + MessageName(number);
    WriteFile(path, content);
    return path;
}

std::string SimpleMessage(const std::string& subject, const std::string& from, const std::string& date,
                          const std::string& extraHeaders, const std::string& body)
{
    return "From: " + from + "\nTo: sales@lists.example.org\nSubject: " + subject + "\nDate: " + date +
           "\nMessage-ID: <" + std::to_string(std::hash<std::string>{}(subject + date)) + "@example.org>\n" +
           extraHeaders + "\n" + body;
}

}  // namespace testenv
