// The C# binding's own promises under Mono, against the built library: refusals throw
// TarvikException with the library's status and message and write nothing, UTF-8 survives the
// hand marshalling both ways, and a disposed watcher refuses further use instead of touching
// freed memory. Exits 0 when every check holds; prints each failed one.
//
//   mono DotnetBindingCheck.exe
using System;
using System.IO;
using Tarvik;

static class DotnetBindingCheck
{
    static int failures;

    static void Expect(bool condition, string what)
    {
        if (!condition) {
            Console.Error.WriteLine("FAIL: " + what);
            ++failures;
        }
    }

    static void ExpectRefused(Action call, int status, string part, string what)
    {
        try {
            call();
            Expect(false, what + ": no exception");
        } catch (TarvikException error) {
            Expect(error.Status == status, what + ": status " + error.Status);
            Expect(error.LibraryMessage.Contains(part), what + ": message " + error.LibraryMessage);
        }
    }

    static int Main()
    {
        string scratch = Path.Combine(Path.GetTempPath(), "tarvik_dotnet_" + Guid.NewGuid().ToString("N"));
        Directory.CreateDirectory(scratch);
        try {
            Run(Path.Combine(scratch, "config.json"));
        } finally {
            Directory.Delete(scratch, true);
        }
        return failures == 0 ? 0 : 1;
    }

    static void Run(string path)
    {
        Expect(TarvikConfig.Version() == "0.3.0", "version " + TarvikConfig.Version());
        ExpectRefused(() => TarvikConfig.Update(path, "{\"detection\": {\"fftsize\": 1}}"),
                      TarvikConfig.EKey, "did you mean detection.fftSize", "unknown key");
        ExpectRefused(() => TarvikConfig.Update(path, "{\"detection\": {\"fftSize\": \"1\"}}"),
                      TarvikConfig.EValue, "detection.fftSize", "wrong type");
        ExpectRefused(() => TarvikConfig.Update(path, "[]"), TarvikConfig.EPatch,
                      "must be a JSON object", "not an object");
        Expect(!File.Exists(path), "a refused patch wrote the file");

        string settings = TarvikConfig.Update(path, "{\"audio\": {\"deviceId\": \"Mikrofon \u00e4\u20ac\"}}");
        Expect(settings.Contains("\"deviceId\":\"Mikrofon \u00e4\u20ac\""), "UTF-8 round trip: " + settings);
        string outcome;
        TarvikConfig.Load(path, out outcome);
        Expect(outcome == "read", "outcome " + outcome);
        Expect(TarvikConfig.CheckText("{\"colour\": 1}").Contains("\"unknown-key\""), "check");

        var watcher = new TarvikConfig.Watcher(path);
        string first = watcher.WaitAndTake(5000);
        Expect(first != null && first.Contains("\"initial\":true"), "first news " + first);
        watcher.Dispose();
        watcher.Dispose();
        try {
            watcher.Take();
            Expect(false, "a disposed watcher was used");
        } catch (ObjectDisposedException) {
        }
    }
}
