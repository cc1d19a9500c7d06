// The command line's rules, shared by the boot-time run and the installer.
#include "app/command_line_rules.h"

#include "nt/nt.h"

COMMAND_LINE_CHOICE CommandLineDefaults() {
    return COMMAND_LINE_CHOICE{1, 2, 2000, u'T', nullptr, nullptr};
}

int32_t EaFromCode(const char *code) {
    switch (code[0]) {
        case 'A':
            if (code[1] != 'T') return 1;
            return code[2] == 'S' ? 8 : 7;
        case 'B':
            return 2;
        case 'C':
            return 3;
        case 'D':
            return 5;
        case 'S':
            if (code[1] == 'A') return 9;
            if (code[1] == 'T' && code[2] == 'A') return 10;
            return 4;
        case 'T':
            return code[1] == 'S' ? 11 : 6;
        default:
            return 1;
    }
}

void ReadCommandLine(int32_t argc, char **argv, COMMAND_LINE_CHOICE *choice) {
    if (argc >= 2) choice->Ea = EaFromCode(argv[1]);
    if (argc >= 3) choice->Prf = argv[2][0] == 'r' ? 1 : argv[2][0] == 'w' ? 3 : 2;

    uint32_t start = choice->Prf == 3 ? 1000 : 2000;
    choice->Iterations = start;
    if (argc >= 4) {
        int32_t v = atoi(argv[3]);
        if (v >= 2 && v <= 2000000) {
            choice->Iterations = start * static_cast<uint32_t>(v);
        } else if (v < -static_cast<int32_t>(start)) {
            // A negative argument is an absolute count; -v is safe here
            // because v lies strictly below -start.
            choice->Iterations = static_cast<uint32_t>(-static_cast<int64_t>(v));
        }
    }

    if (argc >= 5) {
        int letter = toupper(argv[4][0]);
        if (letter >= 'A' && letter <= 'Z') choice->DriveLetter = static_cast<char16_t>(letter);
    }
    if (argc >= 6) choice->ContainerPath = argv[5];
    if (argc >= 7) choice->ImagePath = argv[6];
}
