// Ctrl+C, Ctrl+Break and the console's closing held off while pelmar-install
// changes the machine, so that a change is finished or undone rather than
// cut off half-way; a request that arrives meanwhile is answered when it
// ends.
#pragma once

namespace pelmar_tools {

class ChangesUnderWay {
  public:
    ChangesUnderWay();
    ~ChangesUnderWay();
    ChangesUnderWay(const ChangesUnderWay &) = delete;
    ChangesUnderWay &operator=(const ChangesUnderWay &) = delete;
};

}  // namespace pelmar_tools
