#include <string>
#include <vector>

#include "platform/log.h"
#include "tools/disctool/disctool.h"

int main(int argc, char** argv) {
  kelva::platform::SetLogProgram("kelva-disctool");
  return kelva::disctool::Run(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
