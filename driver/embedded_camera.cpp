#include "embedded_camera.h"

bool EmbeddedCamera::LoadSettingsProfile(const DriverSettings& settings, vcam::Profile& profile,
                                         std::string& error) {
    profile = vcam::Profile();
    if (settings.profile.empty())
        return true;
    return vcam::LoadProfile(settings.profile, profile, error);
}

bool EmbeddedCamera::CameraCount(const DriverSettings& settings, uint32_t& count,
                                 std::string& error) {
    vcam::Profile profile;
    if (!LoadSettingsProfile(settings, profile, error))
        return false;
    count = profile.cameraCount;
    return true;
}

std::unique_ptr<EmbeddedCamera> EmbeddedCamera::Start(const DriverSettings& settings,
                                                      std::string& error) {
    std::unique_ptr<EmbeddedCamera> camera(new EmbeddedCamera);
    if (!LoadSettingsProfile(settings, camera->profile_, error))
        return nullptr;
    // The settings name the card; a profile's own folder stands in when they do not.
    std::string folder = settings.card;
    if (!camera->profile_.cardFolder.empty() && settings.cardFromDefault)
        folder = camera->profile_.cardFolder;
    camera->card_ =
        std::make_unique<vcam::Card>(folder, camera->profile_.capacity, camera->profile_.freeSpace);
    return camera;
}

ptp::ConnectionPtr EmbeddedCamera::Connect(ptp::ConnectionPtr& event) {
    Stop();
    responder_ = std::make_unique<vcam::Responder>(profile_, *card_);
    auto commandPair = ptp::MakePipePair();
    auto eventPair = ptp::MakePipePair();
    event = std::move(eventPair.first);
    command_ = std::move(commandPair.second);
    event_ = std::move(eventPair.second);
    thread_ = std::thread([this] { responder_->Serve(*command_, *event_); });
    return std::move(commandPair.first);
}

void EmbeddedCamera::Stop() {
    if (responder_)
        responder_->Stop();
    if (command_)
        command_->Shutdown();
    if (event_)
        event_->Shutdown();
    if (thread_.joinable())
        thread_.join();
    responder_.reset();
}

EmbeddedCamera::~EmbeddedCamera() {
    Stop();
}
