// The console's page templates: their file names in the template directory,
// the sections each page is cut into, and the index of every section.
#ifndef VANTRY_CONSOLE_PAGE_TEMPLATES_H_
#define VANTRY_CONSOLE_PAGE_TEMPLATES_H_

#include <cstddef>

#include "common/templates.h"

namespace vy {

inline constexpr const char* kLoginTemplate = "admin_login.htm";
inline constexpr const char* kGroupsTemplate = "admin_groups.htm";
inline constexpr const char* kGroupTemplate = "admin_group.htm";
inline constexpr const char* kEditGroupTemplate = "admin_edtgrp.htm";
inline constexpr const char* kSetupTemplate = "admin_setup.htm";
inline constexpr const char* kCheckLogTemplate = "admin_checklog.htm";
inline constexpr const char* kErrorLogTemplate = "admin_error.htm";
inline constexpr const char* kChangePasswordTemplate = "admin_chpass.htm";
inline constexpr const char* kHelpTemplate = "admin_help.htm";
inline constexpr const char* kUrlTemplate = "admin_url.htm";
// The style sheet every page links as "<console>?style".
inline constexpr const char* kStyleSheet = "./vytpl/admin_style.css";

inline constexpr SectionMarkers kHeaderSection = {"<header_template>", "</header_template>"};
inline constexpr SectionMarkers kFooterSection = {"<footer_template>", "</footer_template>"};

inline constexpr SectionMarkers kGroupPageSections[] = {
    kHeaderSection,
    {"<grp_template>", "</grp_template>"},
    {"<url_template>", "</url_template>"},
    kFooterSection,
    {"<caddedit_template>", "</caddedit_template>"},
    {"<taddedit_template>", "</taddedit_template>"},
};
enum GroupPageSection : size_t {
  kGroupHeader,
  kGroupGroup,
  kGroupUrl,
  kGroupFooter,
  kGroupCheckAddEdit,
  kGroupTextAddEdit
};

inline constexpr SectionMarkers kEditGroupSections[] = {
    kHeaderSection,
    {"<header2_template>", "</header2_template>"},
    {"<bancont_template>", "</bancont_template>"},
    {"<prescont_template>", "</prescont_template>"},
    {"<actcont_template>", "</actcont_template>"},
    kFooterSection,
};
enum EditGroupSection : size_t {
  kEditHeader,
  kEditHeader2,
  kEditBannedContent,
  kEditPresenceContent,
  kEditActionContent,
  kEditFooter
};

inline constexpr SectionMarkers kGroupsPageSections[] = {
    kHeaderSection,
    {"<grp_template>", "</grp_template>"},
    {"<newgrp_template>", "</newgrp_template>"},
    kFooterSection,
};
enum GroupsPageSection : size_t { kGroupsHeader, kGroupsGroup, kGroupsNewGroup, kGroupsFooter };

inline constexpr SectionMarkers kCheckLogSections[] = {
    kHeaderSection,
    {"<temp_template>", "</temp_template>"},
    kFooterSection,
};
enum CheckLogSection : size_t { kCheckLogHeader, kCheckLogRow, kCheckLogFooter };

inline constexpr SectionMarkers kUrlPageSections[] = {
    kHeaderSection,
    {"<content_template>", "</content_template>"},
    {"<checks_template>", "</checks_template>"},
    {"<check_template>", "</check_template>"},
    {"<logs_template>", "</logs_template>"},
    {"<logrow_template>", "</logrow_template>"},
    kFooterSection,
    {"<cert_template>", "</cert_template>"},
};
enum UrlPageSection : size_t {
  kUrlHeader,
  kUrlContent,
  kUrlChecks,
  kUrlCheck,
  kUrlLogs,
  kUrlLogRow,
  kUrlFooter,
  kUrlCertificate
};

inline constexpr SectionMarkers kErrorLogSections[] = {kHeaderSection, kFooterSection};
enum ErrorLogSection : size_t { kErrorLogHeader, kErrorLogFooter };

inline constexpr SectionMarkers kChangePasswordSections[] = {
    kHeaderSection,
    {"<center_template>", "</center_template>"},
    kFooterSection,
};
enum ChangePasswordSection : size_t { kPasswordHeader, kPasswordCenter, kPasswordFooter };

}  // namespace vy

#endif  // VANTRY_CONSOLE_PAGE_TEMPLATES_H_
