// How the Modbus link lays values into registers, and how it recognises the answer to the probe
// of a reconnection.
#include "plclink/ModbusRegisters.h"

#include <QTest>

using namespace modbusmap;
using namespace modbusregs;

namespace
{

Variable ordered(bool swapWords, bool swapBytes)
{
    Variable v;
    v.swapWords = swapWords;
    v.swapBytes = swapBytes;
    return v;
}

} // namespace

class TestModbusRegisters : public QObject
{
    Q_OBJECT

private slots:
    void byteAndWordOrders()
    {
        // DINT 0x12345678 = bytes A B C D in the four orders of the map, and back.
        const std::tuple<const char *, bool, bool, QList<quint16>> dints[] = {
            {"ABCD", false, false, {0x1234, 0x5678}},
            {"CDAB", true, false, {0x5678, 0x1234}},
            {"BADC", false, true, {0x3412, 0x7856}},
            {"DCBA", true, true, {0x7856, 0x3412}},
        };
        for (const auto &[order, words, bytes, regs] : dints) {
            const Variable v = ordered(words, bytes);
            QVERIFY2(registersFromDInt(0x12345678, v) == regs, order);
            QVERIFY2(dintFromRegisters(regs.constData(), v) == 0x12345678, order);
            QVERIFY2(dintFromRegisters(registersFromDInt(-2, v).constData(), v) == -2, order);
        }

        // Texts: two bytes a register, the first high (AB) or low (BA); an odd end is padded.
        for (const auto &[swap, regs] : {std::pair{false, QList<quint16>{0x6162, 0x6364, 0x6500}},
                                         std::pair{true, QList<quint16>{0x6261, 0x6463, 0x0065}}}) {
            QCOMPARE(registersFromBytes("abcde", swap), regs);
            QByteArray back;
            appendBytes(back, regs.constData(), int(regs.size()), swap);
            QCOMPARE(back, QByteArray("abcde\0", 6));
            QCOMPARE(cutAtNul(back), QByteArray("abcde"));
        }
        QCOMPARE(cutAtNul("no end"), QByteArray("no end"));
    }

    void probeAndItsAnswer()
    {
        Variable coil;
        coil.unit = 7;
        coil.area = Area::Coil;
        coil.address = 0x1234;
        const QByteArray request = probeRequest(0x0102, coil);
        QCOMPARE(request, QByteArray::fromHex("010200000006 07 01 1234 0001"));
        Variable input = coil;
        input.area = Area::InputRegister;
        QCOMPARE(quint8(probeRequest(1, input)[7]), quint8(4));

        // Hex digits: transaction, protocol, length, unit, function, data (blanks are skipped).
        using enum ProbeAnswer;
        const std::tuple<const char *, const char *, ProbeAnswer> answers[] = {
            {"the coil", "010200000004 07 01 01 01", Fits},
            {"the exception", "010200000003 07 81 02", Fits},
            {"too short to tell", "0102000000", Incomplete},
            {"a part of it", "010200000004 07 01", Incomplete},
            {"another transaction", "010300000004 07 01 01 01", DoesNotFit},
            {"another unit", "010200000004 08 01 01 01", DoesNotFit},
            {"a register's byte count", "010200000005 07 01 02 0000", DoesNotFit},
            {"another function", "010200000004 07 03 01 01", DoesNotFit},
            {"more than the answer", "010200000004 07 01 01 01 00", DoesNotFit},
            // No answer to the probe is this long: it is not waited for.
            {"a length beyond any answer", "0102000000ff 07 01", DoesNotFit},
        };
        for (const auto &[what, hex, expected] : answers)
            QVERIFY2(probeAnswer(request, QByteArray::fromHex(hex)) == expected, what);
    }
};

QTEST_GUILESS_MAIN(TestModbusRegisters)
#include "TestModbusRegisters.moc"
