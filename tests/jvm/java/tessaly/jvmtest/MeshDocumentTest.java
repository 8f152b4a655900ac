package tessaly.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.io.ByteArrayInputStream;
import java.nio.charset.StandardCharsets;

import org.junit.jupiter.api.Test;

import net.morrow.resources.ResourceLocation;
import quenby.tessaly.api.asset.JsonAssetLoader;
import quenby.tessaly.api.client.model.Mesh;

/** The host's mesh loader must tell a whole document from an empty, cut or damaged one. */
class MeshDocumentTest {
    static final String TRIANGLE =
            "{\"name\":\"tri\",\"vertices\":[[0,0,0],[1.5,0,-2e1],[0,1,0]],\"indices\":[0,1,2],\"extra\":{\"a\":[true,null]}}";

    private static Mesh load(String text, boolean validate) {
        return new JsonAssetLoader(new ByteArrayInputStream(text.getBytes(StandardCharsets.UTF_8)), null)
                .loadMesh(validate);
    }

    @Test
    void readsAWholeDocument() {
        Mesh mesh = load(" \n" + TRIANGLE + "\n", true);
        assertEquals("tri", mesh.name());
        assertEquals(3, mesh.vertexCount());
        assertArrayEquals(new float[] {0, 0, 0, 1.5f, 0, -20f, 0, 1, 0}, mesh.positions());
        assertArrayEquals(new int[] {0, 1, 2}, mesh.indices());
    }

    @Test
    void rejectsEmptyCutAndDamagedDocuments() {
        String[] bad = {
            "", " ", TRIANGLE.substring(0, TRIANGLE.length() - 1), TRIANGLE.substring(0, 20), TRIANGLE + "x",
            TRIANGLE + "\u0000", "[]", "{\"name\":\"t\",\"vertices\":[[0,0]],\"indices\":[]}",
            "{\"name\":\"t\",\"vertices\":[],\"indices\":[1.5]}", "{\"name\":\"t\",\"vertices\":[]}",
            "{\"name\":\"t\",\"name\":\"u\",\"vertices\":[],\"indices\":[]}", "{\"name\":\"t\",\"vertices\":[],\"indices\":[01]}",
            "{\"name\":\"t\u0001\",\"vertices\":[],\"indices\":[]}",
        };
        for (String text : bad) {
            assertThrows(IllegalArgumentException.class, () -> load(text, false), text);
        }
        byte[] notUtf8 = {'{', (byte) 0xC3, '}'};
        assertThrows(IllegalArgumentException.class, () -> new JsonAssetLoader(new ByteArrayInputStream(notUtf8), null));
    }

    @Test
    void numbersReadAsJavaReadsThem() {
        String[] numbers = {"0", "-0", "1.5", "-20.25", "0.1", "0.30000001", "16777217", "123456789012345",
            "1234567890123456789", "3.14159265358979", "-9.999999999999999", "1e3", "-2.5E-3", "0.000001", "7.0000001"};
        StringBuilder vertices = new StringBuilder();
        for (int i = 0; i < numbers.length; i += 3) {
            vertices.append(i == 0 ? "[" : ",[").append(numbers[i]).append(',').append(numbers[i + 1]).append(',')
                    .append(numbers[i + 2]).append(']');
        }
        float[] positions = load("{\"name\":\"n\",\"vertices\":[" + vertices + "],\"indices\":[]}", true).positions();
        for (int i = 0; i < numbers.length; i++) {
            assertEquals(Float.floatToIntBits((float) Double.parseDouble(numbers[i])), Float.floatToIntBits(positions[i]),
                    numbers[i]);
        }
    }

    @Test
    void validationChecksIndicesAgainstVertices() {
        String outOfRange = "{\"name\":\"t\",\"vertices\":[[0,0,0]],\"indices\":[0,0,1]}";
        String notTriangles = "{\"name\":\"t\",\"vertices\":[[0,0,0]],\"indices\":[0,0]}";
        assertEquals(3, load(outOfRange, false).indices().length);
        assertEquals(2, load(notTriangles, false).indices().length);
        IllegalArgumentException e = assertThrows(IllegalArgumentException.class,
                () -> new JsonAssetLoader(new ByteArrayInputStream(outOfRange.getBytes(StandardCharsets.UTF_8)),
                        new ResourceLocation("tessaly", "meshes/t")).loadMesh(true));
        assertEquals(true, e.getMessage().startsWith("tessaly:meshes/t: "), e.getMessage());
        assertThrows(IllegalArgumentException.class, () -> load(notTriangles, true));
    }
}
