// A private PulseAudio server for tests that need real sound: its runtime and
// configuration files stay in a temporary folder of its own, it has no
// device but the null sinks a test loads, and known tones are played into
// those sinks with pacat.
//
//   testsupport::PulseServer pulse;             // started, or failure() says why
//   ASSERT_TRUE(pulse.ok()) << pulse.failure();
//   pulse.makeDefault();                        // this process's clients use it
//   int sink = pulse.loadNullSink("six", 48000, "front-left,front-right,...");
//   pid_t player = pulse.play("six", 48000, {{300, 0.125}, ...});
//   ... capture "six.monitor" ...
//   pulse.stopPlaying(player);
//   pulse.unloadModule(sink);
//   pulse.unloadModule(pulse.moduleWith("sink_name=speakers"));  // no output device left
//   pulse.kill(); ... pulse.start();            // a crash and a restart, same socket
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

struct Tone {
    double frequency;  // Hz
    float level;       // peak, 1.0 full scale
};

// Points this process's PulseAudio clients at the server that serves (or
// would serve) `folder`, and HOME and the runtime and configuration
// directories into it, so that nothing a client writes lands outside it and
// no server is started on the client's behalf.
void pointPulseClientsAt(const std::string& folder);

class PulseServer {
  public:
    // Starts the server and waits (bounded) until it accepts clients.
    PulseServer();
    // Ends the server and every player by their process ids, then removes
    // the folder.
    ~PulseServer();

    // Ends the server at once (SIGKILL, as a crash would), and every player
    // with it; the modules loaded into it are gone too.
    void kill();
    // Starts the server again in the same folder, so on the same socket, and
    // waits (bounded) until it accepts clients; false, with failure(), when
    // it does not.
    bool start();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    bool ok() const { return failure_.empty(); }
    // Why the server is not running, with its log; empty when it is.
    const std::string& failure() const { return failure_; }
    // The folder that serves as HOME and runtime directory for the server.
    const std::string& folder() const { return folder_; }

    // pointPulseClientsAt the server's folder.
    void makeDefault() const { pointPulseClientsAt(folder_); }

    // Loads a null sink of 32-bit float samples with one channel per name in channelMap
    // (PulseAudio's names, comma-separated); its monitor source is "<name>.monitor". Returns the
    // module's index, -1 on failure.
    int loadNullSink(const std::string& name, int rate, const std::string& channelMap);
    // Loads a module with its arguments (`pactl load-module`); its index, -1 on failure.
    int loadModule(const std::vector<std::string>& moduleAndArguments);
    bool unloadModule(int module);
    // The index of the first loaded module whose line in `pactl list short
    // modules` contains `text`, -1 when none does.
    int moduleWith(const std::string& text) const;

    // Plays one sine tone per channel into the sink, for `seconds`, as 32-bit
    // float samples at `rate`, laid out in the sink's channel order. Returns
    // the player's process id, -1 on failure.
    pid_t play(const std::string& sink, int rate, const std::vector<Tone>& tones,
               double seconds = 10.0);
    void stopPlaying(pid_t player);

    // Standard output of `pactl ARGUMENTS` against the server; false when it fails.
    bool pactl(const std::vector<std::string>& arguments, std::string* out = nullptr) const;

  private:
    void endPlayers();
    bool waitUntilReady();
    std::string log() const;

    std::string folder_;
    std::string failure_;
    pid_t pid_ = -1;
    std::vector<pid_t> players_;
    int tones_ = 0;
};

}  // namespace testsupport
