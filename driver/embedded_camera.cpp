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
                                                      ptp::ConnectionPtr& command,
                                                      ptp::ConnectionPtr& event,
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
    camera->responder_ = std::make_unique<vcam::Responder>(camera->profile_, *camera->card_);
    auto commandPair = ptp::MakePipePair();
    auto eventPair = ptp::MakePipePair();
    command = std::move(commandPair.first);
    event = std::move(eventPair.first);
    camera->command_ = std::move(commandPair.second);
    camera->event_ = std::move(eventPair.second);
    EmbeddedCamera* self = camera.get();
    camera->thread_ =
        std::thread([self] { self->responder_->Serve(*self->command_, *self->event_); });
    return camera;
}

EmbeddedCamera::~EmbeddedCamera() {
    if (responder_)
        responder_->Stop();
    if (command_)
        command_->Shutdown();
    if (event_)
        event_->Shutdown();
    if (thread_.joinable())
        thread_.join();
}
