// Opens a TIFF with ImageJ's own reader (ij.io.Opener), without a display, and
// reports what ImageJ made of it: on standard output the lines
//   width W / height H / bitdepth B / min V / max V / description TEXT|none
// (min and max from ImageJ's statistics, TEXT with backslash escapes), and the
// pixels ImageJ holds, as little-endian float32, row 0 first, into RAW.
//
//   java -Djava.awt.headless=true -cp ij.jar:DIR OpenWithImageJ TIFF RAW

import ij.ImagePlus;
import ij.io.FileInfo;
import ij.io.Opener;
import ij.process.ImageStatistics;

import java.io.FileOutputStream;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;

public class OpenWithImageJ {
    private static String escape(String text) {
        StringBuilder out = new StringBuilder();
        for (char c : text.toCharArray()) {
            if (c == '\\') out.append("\\\\");
            else if (c == '\t') out.append("\\t");
            else if (c == '\n') out.append("\\n");
            else out.append(c);
        }
        return out.toString();
    }

    public static void main(String[] args) throws IOException {
        if (args.length != 2) {
            System.err.println("usage : OpenWithImageJ TIFF RAW");
            System.exit(2);
        }
        ImagePlus image = new Opener().openImage(args[0]);
        if (image == null) {
            System.err.println(args[0] + " : ImageJ could not open it");
            System.exit(1);
        }
        ImageStatistics stats = image.getStatistics(ImageStatistics.MIN_MAX);
        FileInfo info = image.getOriginalFileInfo();
        String description = info == null ? null : info.description;
        System.out.println("width " + image.getWidth());
        System.out.println("height " + image.getHeight());
        System.out.println("bitdepth " + image.getBitDepth());
        System.out.println("min " + stats.min);
        System.out.println("max " + stats.max);
        System.out.println("description " + (description == null ? "none" : escape(description)));

        Object pixels = image.getProcessor().getPixels();
        if (!(pixels instanceof float[])) {
            System.err.println(args[0] + " : ImageJ did not read 32-bit float pixels");
            System.exit(1);
        }
        float[] samples = (float[]) pixels;
        ByteBuffer bytes = ByteBuffer.allocate(4 * samples.length).order(ByteOrder.LITTLE_ENDIAN);
        for (float v : samples)
            bytes.putFloat(v);
        try (FileOutputStream out = new FileOutputStream(args[1])) {
            out.write(bytes.array());
        }
    }
}
