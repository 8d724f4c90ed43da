// The publish command, for the people who build releases:
//   publish keygen NAME
//   publish release --from DIR --to RELEASE --product P --version V
//                   (--key NAME.key | --sign-elsewhere) [--channel C]
//                   [--lifetime DAYS] [--published TIME] [--deltas N] [--rollout DAYS]
//   publish attach --to RELEASE [--signature FILE] --signature-3 FILE --public NAME.pub
//                  [--channel C]
//   publish halt|resume --to RELEASE (--key NAME.key | --sign-elsewhere) [--channel C]
//                  [--lifetime DAYS]
//   publish rollout --to RELEASE [--channel C]
//   publish verify RELEASE --public NAME.pub [--channel C]
#pragma once

#include <ostream>
#include <string>
#include <vector>

// 0 done, 1 refused or failed (said on `err`), 2 a usage error.
int RunPublish(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
