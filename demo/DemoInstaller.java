// A small installer-like Java program for the demo bundle: it greets, shows
// what the launcher handed it, asks a question on standard input when run
// with -c (console mode), and exits 0.
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;

public class DemoInstaller {
    public static void main(String[] args) throws Exception {
        System.out.println("Welcome to the Demo installer.");
        System.out.println("Java " + System.getProperty("java.version") + " from " + System.getProperty("java.home"));
        System.out.println("Bundle: " + System.getProperty("qvr.ownBundlePath"));
        String tar = System.getProperty("qvr.tarFile");
        if (tar != null) System.out.println("Runtime installed from: " + tar);
        boolean console = false;
        for (String a : args) {
            System.out.println("Argument: " + a);
            if (a.equals("-c")) console = true;
        }
        if (console) {
            System.out.print("Where should Demo be installed? [/opt/demo] ");
            System.out.flush();
            BufferedReader in = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
            String line = in.readLine();
            if (line == null || line.isBlank()) line = "/opt/demo";
            // A relative answer means relative to where the user started the installer.
            Path target = Path.of(System.getProperty("qvr.startDirectory", ".")).resolve(line.strip()).normalize();
            System.out.println("Demo would be installed to " + target + ". Nothing was changed.");
        }
        System.out.println("Done.");
        System.exit(0);
    }
}
