// libFuzzer target: arbitrary device answers and lengths never make the
// answer checks hand out more than was received or than the buffers hold.
#include "io/ControlAnswers.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8) {
        return 0;
    }
    uint32_t received;
    uint32_t output;
    std::memcpy(&received, data, 4);
    std::memcpy(&output, data + 4, 4);
    output %= 4096;
    std::vector<uint8_t> answer(data + 8, data + size);

    std::vector<uint8_t> staging(answer);
    staging.resize(output + 2);
    AnswerLength block = CheckClassBlockAnswer(staging.data(), static_cast<unsigned>(staging.size()), received, output);
    unsigned got = received < staging.size() ? received : static_cast<unsigned>(staging.size());
    if (block.Verdict == AnswerVerdict::Accepted && (block.Length > output || block.Length + 2 > got)) {
        std::abort();
    }

    std::vector<uint8_t> probe(answer);
    probe.resize(4);
    AnswerLength size1 = CheckStringDescriptorProbe(probe.data(), 4, received);
    if (size1.Verdict == AnswerVerdict::Accepted) {
        std::vector<uint8_t> buffer(answer);
        buffer.resize(size1.Length);
        AnswerLength text = CheckStringDescriptorAnswer(buffer.data(), size1.Length, received);
        unsigned within = received < size1.Length ? received : size1.Length;
        if (text.Verdict == AnswerVerdict::Accepted && (text.Length > within || text.Length < 2)) {
            std::abort();
        }
    }

    AnswerLength config = ConfigurationDescriptorCopyLength(answer.data(), static_cast<unsigned>(answer.size()));
    if (config.Verdict == AnswerVerdict::Accepted && config.Length > answer.size()) {
        std::abort();
    }
    return 0;
}
