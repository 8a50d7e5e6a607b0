// A tray application's settings logic in C#, without the window: it shows each change that
// another program (the driver, a person with an editor) makes to config.json, and moves the
// "minimum duration" slider one step at a time, as a user dragging it would.
//
//   TraySample.exe CONFIG [--rounds N] [--interval-ms MS] [--linger-s S] [--report FILE]
//
// Each round reads the slider's value and writes the next one with an update: one locked
// read-modify-write, so the driver's own changes, made at the same time, are kept. A thread of
// its own takes the watcher's news, as a window's refresh would. --report writes what it did
// and saw as JSON: {"writes", "failures", "news": [...]}. Build: mcs TraySample.cs
// TarvikConfig.cs (Mono), or add both files to a .NET Framework 4.x or .NET 6 project.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Text;
using System.Threading;
using Tarvik;

static class TraySample
{
    // The integer after "key": in a JSON text the library wrote (no white space, keys unique
    // within a section); a real tray would use its JSON library.
    static int IntegerAfter(string json, string key)
    {
        string pattern = "\"" + key + "\":";
        int at = json.IndexOf(pattern, StringComparison.Ordinal);
        if (at < 0) {
            throw new FormatException(key + " not found");
        }
        int start = at + pattern.Length;
        int end = start;
        while (end < json.Length && (char.IsDigit(json[end]) || json[end] == '-')) {
            ++end;
        }
        return int.Parse(json.Substring(start, end - start), CultureInfo.InvariantCulture);
    }

    static int Main(string[] args)
    {
        if (args.Length < 1) {
            Console.Error.WriteLine("usage: TraySample.exe CONFIG [--rounds N] [--interval-ms MS] " +
                                    "[--linger-s S] [--report FILE]");
            return 2;
        }
        string path = args[0];
        int rounds = 10, intervalMs = 200;
        double lingerS = 1.0;
        string reportPath = null;
        for (int i = 1; i + 1 < args.Length; i += 2) {
            switch (args[i]) {
                case "--rounds": rounds = int.Parse(args[i + 1], CultureInfo.InvariantCulture); break;
                case "--interval-ms": intervalMs = int.Parse(args[i + 1], CultureInfo.InvariantCulture); break;
                case "--linger-s": lingerS = double.Parse(args[i + 1], CultureInfo.InvariantCulture); break;
                case "--report": reportPath = args[i + 1]; break;
            }
        }
        Console.WriteLine("tray: tarvik_config " + TarvikConfig.Version() + " on " + path);

        var news = new List<string>();
        var failures = new List<string>();
        int writes = 0;
        var stop = new ManualResetEvent(false);
        DateTime lastNews = DateTime.UtcNow;
        using (var watcher = new TarvikConfig.Watcher(path)) {
            var thread = new Thread(() => {
                while (!stop.WaitOne(0)) {
                    string taken = watcher.WaitAndTake(100);
                    if (taken != null) {
                        lock (news) {
                            news.Add(taken);
                            lastNews = DateTime.UtcNow;
                        }
                    }
                }
            });
            thread.Start();
            for (int round = 0; round < rounds; ++round) {
                try {
                    int current = IntegerAfter(TarvikConfig.Load(path), "minDurationMs");
                    TarvikConfig.Update(path, "{\"detection\": {\"minDurationMs\": " +
                                                  (current + 1).ToString(CultureInfo.InvariantCulture) + "}}");
                    ++writes;
                } catch (TarvikException error) {
                    // A real tray would show this and let the user try again.
                    failures.Add(error.LibraryMessage);
                    Console.WriteLine("tray: not saved: " + error.LibraryMessage);
                }
                Thread.Sleep(intervalMs);
            }
            while (true) {
                lock (news) {
                    if ((DateTime.UtcNow - lastNews).TotalSeconds >= lingerS) {
                        break;
                    }
                }
                Thread.Sleep(50);
            }
            stop.Set();
            thread.Join();
        }
        Console.WriteLine("tray: " + writes + " writes, " + failures.Count + " failed, " + news.Count + " news");
        if (reportPath != null) {
            var report = new StringBuilder();
            report.Append("{\"writes\": ").Append(writes).Append(", \"failures\": [");
            for (int i = 0; i < failures.Count; ++i) {
                report.Append(i == 0 ? "" : ",").Append("\"failed\"");
            }
            report.Append("], \"news\": [").Append(string.Join(",", news.ToArray())).Append("]}");
            File.WriteAllText(reportPath, report.ToString(), new UTF8Encoding(false));
        }
        return failures.Count == 0 ? 0 : 1;
    }
}
