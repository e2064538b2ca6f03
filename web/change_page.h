// The page of tarpon-web and the API's answers, made from the assets read
// at start: the page template, the catalogue, the destinations. Read-only
// once loaded, so any thread may render.
#ifndef TARPON_WEB_CHANGE_PAGE_H_
#define TARPON_WEB_CHANGE_PAGE_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "web/catalogue.h"
#include "web/change_rules.h"
#include "web/multi_change.h"
#include "web/page_template.h"
#include "web/password_rules.h"
#include "web/web_settings.h"

// What the page shows after a change was tried.
struct PageResult {
  bool shown = false;
  Outcome outcome = Outcome::kInvalid;
  std::string messageKey;
  std::string hostText;
  std::string field;    // the field at fault, whose message it is too
  std::string account;  // the user ID the change was for (upper-cased)
  // The required entry of the destination's rules a new password lacks
  // (FieldProblem::missingEntry), -1 for none.
  int missingEntry = -1;
  // A change to several hosts: each one's outcome, and the hosts the form
  // comes back ticked for (all of them when empty).
  std::vector<DestinationResult> hosts;
  std::vector<std::string> ticked;
};

class ChangePage {
 public:
  // Reads page.html and i18n/ of assets; takes the language, the
  // destinations and their rules from settings. False with the reason.
  bool Load(const std::string& assets, const WebSettings& settings,
            std::string* error);

  const Catalogue& catalogue() const { return catalogue_; }
  // The destinations, their labels and rules as JSON: the API's answer,
  // and the data the page's script checks against.
  const std::string& DestinationsJson() const { return destinationsJson_; }

  // The whole page in language tag: the result when shown, the form with
  // user filled in (never a password) and destination selected ("" for
  // the first), its fields bounded by the rules and the new password's
  // beside a checklist of them. After a change made, the done state in
  // place of the form: the account, the host, what to do next.
  std::string Render(const std::string& tag, const std::string& user,
                     const std::string& destination,
                     const PageResult& result) const;

  // The API's JSON answer.
  std::string ApiAnswer(const std::string& tag, bool changed, int code,
                        const std::string& hostText,
                        const std::string& messageKey) const;

 private:
  struct Destination {
    std::string name;
    std::string label;
    PasswordRules rules;
    std::map<std::string, std::string> notes;  // by language tag
  };
  const Destination* Find(const std::string& name) const;
  std::string ResultBlock(const Texts& texts, const PageResult& result,
                          const std::string& destination) const;
  std::string DoneBlock(const Texts& texts, const PageResult& result,
                        const std::string& destination) const;
  std::string HelpDesk(const Texts& texts) const;
  std::string Message(const Texts& texts, const PageResult& result,
                      const std::string& destination) const;
  std::string DestinationField(const Texts& texts, const std::string& selected,
                               const PageResult& result) const;
  // A destination's label, or its name when it has none here.
  std::string LabelOf(const std::string& name) const;
  std::string RuleList(const Texts& texts, const std::string& tag) const;
  std::string RuleItems(const Texts& texts, const std::string& tag,
                        const Destination& host) const;
  void FieldBounds(const std::string& selected, TemplateValues* values) const;
  void Brand(const Texts& texts, TemplateValues* values) const;

  std::string template_;
  // What the administrator set: -sign-on-url, -help-desk, -help-desk-url,
  // -organisation, -logo.
  std::string signOnUrl_, helpDesk_, helpDeskUrl_, organisation_;
  bool logo_ = false;
  Catalogue catalogue_;
  std::vector<Destination> hosts_;
  std::string destinationsJson_;
  std::string pageData_;  // destinationsJson_ with < > & escaped
};

#endif  // TARPON_WEB_CHANGE_PAGE_H_
