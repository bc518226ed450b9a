#include "rehearsal.h"

#include <algorithm>
#include <map>

#include "files.h"
#include "resource_ids.h"
#include "walk.h"

namespace check {

namespace {

// Photos on the card before every scenario; none may be touched.
const struct {
    const char* path;
    size_t size;
} kPhotos[] = {
    {"DCIM\\100TARVO\\IMG_0001.JPG", 48000},
    {"DCIM\\100TARVO\\IMG_0002.JPG", 81000},
    {"MISC\\NOTES.TXT", 300},
};

// What the card must hold after a scenario, beside the photos.
enum CardAfter {
    kWholeUpdate,  // every file of the update at the root, byte for byte, nothing else
    kAsBefore,     // nothing changed
    kWholeOrAbsent // each file of the update whole or absent, not all of them
};

struct Plan {
    std::string name;
    std::string model;
    std::string profile; // more profile lines
    int message;         // 0: the copy completes
    CardAfter card;
    bool preloadFirstFile; // the update's first file already on the card
    bool pictures;         // every page, not only the message boxes
};

class Rehearsal {
  public:
    Rehearsal(const LintResult& update, const RehearsalSetup& setup)
        : update_(update), setup_(setup), folder_(setup.work + "\\update") {}

    bool Prepare(std::string& trouble);
    ScenarioResult Run(const Plan& plan, int number);
    std::vector<Plan> Plans() const;

  private:
    std::string Path(const std::string& relative) const { return folder_ + "\\" + relative; }
    Files CardBefore(const Plan& plan);
    void CheckCard(const Plan& plan, const Files& before, ScenarioResult& result);

    const LintResult& update_;
    const RehearsalSetup& setup_;
    std::string folder_;
    Files updateBytes_; // card name (lower case) -> bytes, as the copy should leave them
};

bool Rehearsal::Prepare(std::string& trouble) {
    RemoveTree(folder_);
    MakeFolders(folder_);
    for (const int name : {IDS_INFO_FILE_NAME, IDS_README_PATH}) {
        const std::string file = WizardText(setup_.wizard, name); // "\\name"
        CopyFileA((setup_.update + file).c_str(), (folder_ + file).c_str(), FALSE);
    }
    // The update as the wizard's walk sees it: every folder it goes through, empty ones too,
    // and every file it sends.
    for (const std::string& folder : update_.folders)
        MakeFolders(Path(folder));
    for (const UpdateFile& file : update_.files) {
        const std::string to = Path(file.path);
        MakeFolders(to.substr(0, to.find_last_of('\\')));
        if (!CopyFileA((setup_.update + "\\" + file.path).c_str(), to.c_str(), FALSE)) {
            trouble = "cannot copy " + file.path + " for the rehearsal";
            return false;
        }
    }
    if (!CopyFileA(setup_.program.c_str(), Path("Vandrel.exe").c_str(), FALSE) ||
        !CopyFileA(setup_.library.c_str(), Path("KXPTPCLS.DLL").c_str(), FALSE)) {
        trouble = "cannot copy " + setup_.program + " and " + setup_.library;
        return false;
    }
    WriteFileBytes(Path("KXPTPCLS.ini"),
                   "transport = virtual\nprofile = camera.ini\ncard = card\n");
    for (const UpdateFile& file : update_.files) {
        std::string bytes;
        if (!ReadFileBytes(Path(file.path), bytes)) {
            trouble = "cannot read " + file.path + " in the rehearsal's copy";
            return false;
        }
        updateBytes_[Lower(file.cardName)] = bytes;
    }
    return true;
}

std::vector<Plan> Rehearsal::Plans() const {
    std::vector<Plan> plans;
    // Cameras as they name themselves where the maker said so, else as listed.
    const std::vector<std::string>& cameras =
        setup_.cameraModels.empty() ? update_.models : setup_.cameraModels;
    for (size_t i = 0; i < cameras.size(); ++i)
        plans.push_back(
            {"whole walk: " + cameras[i], cameras[i], "", 0, kWholeUpdate, false, i == 0});
    const std::string model = cameras.front();
    std::string unlisted = "Tarvo Rehearsal Camera";
    while (std::find(update_.models.begin(), update_.models.end(), unlisted) !=
           update_.models.end())
        unlisted += " Z";
    // Half of the update's bytes: the camera fails mid-copy.
    const std::string half = std::to_string(std::max<uint64_t>(1, update_.totalBytes / 2));
    const uint64_t needed = static_cast<uint64_t>(update_.capacityKB) * 1024;
    const std::string tooLittle = std::to_string(needed >= 1024 ? needed - 1024 : 0);
    plans.push_back(
        {"a model not listed", unlisted, "", IDS_MSG_WRONG_MODEL, kAsBefore, false, false});
    plans.push_back({"low battery", model, "battery.state = 2\n", IDS_MSG_BATTERY_LOW, kAsBefore,
                     false, false});
    plans.push_back(
        {"no card", model, "card.present = no\n", IDS_MSG_NO_CARD, kAsBefore, false, false});
    plans.push_back({"a write-protected card", model, "card.write_protected = yes\n",
                     IDS_MSG_WRITE_PROTECTED, kAsBefore, false, false});
    plans.push_back({"a card too full", model, "card.free = " + tooLittle + "\n",
                     IDS_MSG_CARD_SPACE, kAsBefore, false, false});
    // Exactly the declared room, counted to the byte: the update must fit in it.
    plans.push_back({"a card with just the declared room", model,
                     "card.free = " + std::to_string(needed) + "\ncard.cluster_size = 1\n", 0,
                     kWholeUpdate, false, false});
    plans.push_back({"the update already on the card", model, "", IDS_MSG_ALREADY_ON_CARD,
                     kAsBefore, true, false});
    plans.push_back({"a power-down mid-copy", model,
                     "fault.power_down.after_bytes = " + half + "\nfault.power_down.reason = 1\n",
                     IDS_MSG_POWER_LOW_BATTERY, kWholeOrAbsent, false, false});
    plans.push_back({"the cable pulled mid-copy", model, "fault.drop.after_bytes = " + half + "\n",
                     IDS_MSG_CONNECTION_PROBLEM, kWholeOrAbsent, false, false});
    return plans;
}

Files Rehearsal::CardBefore(const Plan& plan) {
    const std::string card = Path("card");
    RemoveTree(card);
    MakeFolders(card);
    Files before;
    uint32_t seed = 11;
    for (const auto& photo : kPhotos) {
        const std::string path = card + "\\" + photo.path;
        MakeFolders(path.substr(0, path.find_last_of('\\')));
        before[photo.path] = PatternBytes(photo.size, seed++);
        WriteFileBytes(path, before[photo.path]);
    }
    if (plan.preloadFirstFile && !update_.files.empty()) {
        const UpdateFile& first = update_.files.front();
        std::string bytes;
        ReadFileBytes(Path(first.path), bytes);
        before[first.cardName] = bytes;
        WriteFileBytes(card + "\\" + first.cardName, bytes);
    }
    return before;
}

void Rehearsal::CheckCard(const Plan& plan, const Files& before, ScenarioResult& result) {
    const Files after = ListFiles(Path("card"));
    for (const auto& photo : kPhotos) {
        auto found = after.find(photo.path);
        if (found == after.end() || found->second != before.at(photo.path))
            result.problems.push_back(std::string("the photo ") + photo.path + " was touched");
    }
    if (plan.card == kAsBefore) {
        if (after != before)
            result.problems.push_back("the card changed");
        return;
    }
    size_t whole = 0;
    for (const auto& file : after) {
        if (before.count(file.first))
            continue;
        auto original = updateBytes_.find(Lower(file.first));
        if (file.first.find('\\') != std::string::npos || original == updateBytes_.end())
            result.problems.push_back("the card holds " + file.first + ", no file of the update");
        else if (file.second != original->second)
            result.problems.push_back(file.first + " on the card is not the update's (" +
                                      std::to_string(file.second.size()) + " of " +
                                      std::to_string(original->second.size()) + " bytes)");
        else
            ++whole;
    }
    if (plan.card == kWholeUpdate && whole != updateBytes_.size())
        result.problems.push_back("the card holds " + std::to_string(whole) + " of the update's " +
                                  std::to_string(updateBytes_.size()) + " files");
    if (plan.card == kWholeOrAbsent && whole >= updateBytes_.size() && !updateBytes_.empty())
        result.problems.push_back("the whole update arrived although the camera failed mid-copy");
}

// Room for the photos, the declared capacity and the update twice over: a card of 4 GiB or
// more reads as full 32-bit figures to the wizard, which still holds any capacity it can see.
std::string Capacity(const LintResult& update) {
    const uint64_t needed = static_cast<uint64_t>(update.capacityKB) * 1024 + update.totalBytes;
    return std::to_string(std::max<uint64_t>(needed * 2, 256u << 20));
}

ScenarioResult Rehearsal::Run(const Plan& plan, int number) {
    ScenarioResult result;
    result.name = plan.name;
    result.expected = plan.message ? WizardText(setup_.wizard, plan.message)
                                   : "the copy completes; the card holds the update";
    std::string profile = "camera.model = " + plan.model +
                          "\ncard.capacity = " + Capacity(update_) + "\n" + plan.profile;
    // A paced copy, so that the progress dialog can be pictured.
    if (plan.pictures)
        profile += "pace.bytes_per_second = " +
                   std::to_string(std::max<uint64_t>(256 * 1024, update_.totalBytes * 2 / 3)) +
                   "\n";
    WriteFileBytes(Path("camera.ini"), profile);
    const Files before = CardBefore(plan);

    WalkOptions options;
    options.pictures = setup_.pictures;
    options.prefix = (number < 10 ? "0" : "") + std::to_string(number) + "-";
    options.picturePages = plan.pictures;
    options.waitForReadme = plan.message == 0;
    const WalkOutcome walk = WalkWizard(Path("Vandrel.exe"), folder_, options);
    result.pictures = walk.pictures;

    if (!walk.started)
        result.problems.push_back("the wizard did not start");
    else if (!walk.ended)
        result.problems.push_back("the wizard did not end");
    else if (walk.exitCode != 0)
        result.problems.push_back("exit code " + std::to_string(walk.exitCode));
    for (const std::string& box : walk.boxes)
        result.seen += (result.seen.empty() ? "" : "\n--\n") + box;
    if (plan.message == 0) {
        if (walk.completed)
            result.seen = "the copy completed" +
                          std::string(walk.boxes.empty() ? "" : " after:\n") + result.seen;
        if (!walk.completed || !walk.boxes.empty())
            result.problems.push_back("the copy did not complete as it should");
        if (walk.completed && update_.hasReadme && !walk.readmeOpened)
            result.problems.push_back("Notepad did not open the readme");
        if (walk.readmeOpened)
            result.seen += "; Notepad opened the readme";
    } else {
        if (walk.completed)
            result.seen = "the copy completed" +
                          std::string(result.seen.empty() ? "" : " after:\n") + result.seen;
        if (walk.boxes.size() != 1 || walk.boxes[0] != result.expected)
            result.problems.push_back(walk.boxes.empty()      ? "no message"
                                      : walk.boxes.size() > 1 ? "more than one message"
                                                              : "another message");
    }
    if (result.seen.empty())
        result.seen = "nothing";
    CheckCard(plan, before, result);
    result.passed = result.problems.empty();
    return result;
}

} // namespace

std::vector<ScenarioResult> Rehearse(const LintResult& update, const RehearsalSetup& setup) {
    std::vector<ScenarioResult> results;
    Rehearsal rehearsal(update, setup);
    std::string trouble;
    if (update.models.empty() || !rehearsal.Prepare(trouble)) {
        ScenarioResult failed;
        failed.name = "setting up";
        failed.expected = "a copy of the update to rehearse";
        failed.seen = update.models.empty() ? "no model listed" : trouble;
        failed.problems.push_back(failed.seen);
        results.push_back(failed);
        return results;
    }
    int number = 0;
    for (const Plan& plan : rehearsal.Plans())
        results.push_back(rehearsal.Run(plan, ++number));
    return results;
}

} // namespace check
