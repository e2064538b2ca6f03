// The engine's fixed texts as the tests expect them, one copy each, for the
// engine's unit tests and the end-to-end tests alike. The engine keeps its
// own copy; a test compares the two.
#ifndef TARPON_TESTS_SUPPORT_EXPECTED_TEXTS_H_
#define TARPON_TESTS_SUPPORT_EXPECTED_TEXTS_H_

#include <string>

namespace expected {

// The first line of every numbered error text.
inline std::string ErrorPrefix(int statusType) {
  return "ERROR " + std::to_string(statusType) +
         ". Korvid Common Server KSV client version 02.00\n";
}

// The short usage ("-?", or arguments that no option took).
inline const char kShortUsage[] =
    "\nVeltrix Korvid Common Server utility program.\n"
    "Keysaver (KSV) Client V02.00\n"
    "Command syntax:\n"
    "\n"
    "tarpon  -u user  -p old_password  -np new_password    \\ \n"
    "        -s service_location_name              \\ \n"
    "        -sd sym_dest_name                      \\ \n"
    "        -plu partner_luname_or_alias              \\ \n"
    "        -m modename -lu local_lu_name_or_alias -v  -M  -? -comapi  \n"
    "\n"
    "Options may be entered in any order on the command line.\n"
    "Enter \"tarpon -M | more \" on the command line \n"
    "for details on above options.\n"
    "Briefest command possible, if your environment is setup:\n"
    "tarpon -u user -p password -np newpassword -s service_location_name  \n"
    "tarpon -u user -p password -np newpassword -plu partner_luname_or_alias  "
    "\n"
    "tarpon -u user -p password -np newpassword -sd side_information_profile  "
    "\n";

// The product information ("-comapi").
inline const char kProductInfo[] =
    "\nINFORMATION 2.\nSna product .....: Tarpon emulated SNA node (CPIC "
    "api used) (CPIC and APPC apis used) \n";

// The advice after the partner refused the service's TP name.
inline const char kInfoTpNotRecognized[] =
    "\n"
    "INFORMATION 1.\n"
    "\n"
    "The partner lu is rejecting the transaction name\n"
    "it received in the request.\n"
    "You have successfuly established a session with\n"
    "the partner lu, but the partner lu does not provide\n"
    "the KSV service. There are a couple of specific  \n"
    "reasons why you might receive this error:\n"
    "\n"
    "1 - You are specifying the same partner lu as\n"
    "    you use for Linkway connections to Korvid Hostex.\n"
    "    The host database system does not provide a KSV server.\n"
    "    The host's APPC subsystem or the host transaction monitor\n"
    "    (at the two levels that support it) is required for a KSV server.\n"
    "\n"
    "2 - The side information profile does not\n"
    "    have the correct service transaction \n"
    "    x'06'F3F0F1 (x'06'301) entered. NOTE: This will\n"
    "    ONLY be the case if CPIC protocols were chosen \n"
    "    for this transmission instance. Issue the command \n"
    "    again, but with the \"-v\" option added. Look for \n"
    "    \"CPIC protocol used for this session ...... n\" \n"
    "    If n is 1, then this is definitely at least part of your\n"
    "    problem. Change the side information profile, and\n"
    "    run again. \n"
    "\n"
    "Please read the readme file, and/or issue a\n"
    "\"tarpon -M | more\" command for more information. \n"
    "on both these items.\n";

}  // namespace expected

#endif  // TARPON_TESTS_SUPPORT_EXPECTED_TEXTS_H_
