// ORV_Current.ini and ORV_Function.ini as the web front end reads them (their
// modes: MainTest.SharedFilesBelongToTheGroupThatOrvGroupNames).
#include "main_fixture.h"

namespace {

const char* const kCurrentFileText =
    ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
    "; カレントス情報 (基本的に1秒毎に更新される)         ;\n"
    "; ORVメインプログラムがRAMディスクに作成するファイル ;\n"
    ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
    "[ORVCurrent]\n"
    "SetDate=0000/00/00\t; 設定年月日\n"
    "SetTime=00:00:00\t; 設定時分秒\n"
    "NowDate=2024/03/05\t; 現在年月日\n"
    "NowTime=07:08:09\t; 現在時分秒\n"
    "MAC=B8:27:EB:01:02:0A\t; 16進数 (設定変更不能扱い)\n"
    "MAC1=00:00:00:00:00:00\t; 16進数 (設定変更不能扱い)\n"
    "[ErrorStatus1]\t; 内部機能用エラーステータス\n"
    "80=0001\n81=0000\n82=0000\n83=0000\n84=0000\n85=0000\n86=0000\n87=0000\n"
    "88=0000\n89=0000\n8A=0000\n8B=0000\n8C=0000\n8D=0000\n8E=0000\n8F=12345\n"
    "[ErrorStatus2]\t; 拡張機能用エラーステータス\n"
    "00=0000\n01=0000\n02=0000\n03=ABCD\n04=0000\n05=0000\n06=0000\n07=0000\n"
    "08=0000\n09=0000\n0A=0000\n0B=0000\n0C=0000\n0D=0000\n0E=0000\n0F=0000\n";

const char* const kFunctionHeaderText = ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
                                        "; ORV機能情報                                        ;\n"
                                        "; ORVメインプログラムがRAMディスクに作成するファイル ;\n"
                                        ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
                                        "[ORVFunction]\n";

const char* const kTotSlotText =
    ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
    "; 内部機能 ※本機能はORV_System.iniのSystemInfoで機能設定する ;\n"
    ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\n"
    "[IntSlot1]\n"
    "BoadID=05\t; 16進数(char) 基板番号\n"
    "SubID=01\t; 16進数(char) 基板サブ番号\n"
    "Func=1F\t; 16進数(char) 機能指定\n"
    "Version=01020003\t; 16進数(32b) バージョン\n"
    "Name=TOT\t; 基板名称 半角31文字まで\n"
    "Setup=/var/kelvatro/conf/Setup_05_01.ini\t; セットアップファイル\n"
    "Save=/usr/kelvatro/conf/Setup_05_01.ini\t; セットアップ保存ファイル\n"
    "Status=/var/kelvatro/conf/Status_05_01.txt\t; ステータスファイル\n"
    "\n";

// ORV_Function.ini as the start of a pass writes it for a SystemInfo.
std::string function_file_for(const Sandbox& sandbox, uint32_t system_info) {
    capture_stdout([&] {
        ReadSystemFile(kSystemFilePath, system_settings); // factory values
        system_settings.SystemInfo = system_info;
        WriteSystemFile(kSystemFilePath, system_settings);
        main_init();
    });
    return sandbox.read(kFunctionFilePath);
}

// A link planted in the file's place is replaced, never written through.
TEST_F(MainTest, CurrentFileAndPrintoutShowTheRecord) {
    sandbox.write("/var/www/victim", "kept");
    ASSERT_EQ(0, symlink(sandbox.path("/var/www/victim").c_str(),
                         sandbox.path(kCurrentFilePath).c_str()));
    CurrentState cs{};
    cs.NowDateTime = DateTime{2024, 3, 5, 7, 8, 9};
    std::memcpy(cs.Mac, fake_eth0.mac, 6);
    cs.ErrorStatus1[0] = 1;
    cs.ErrorStatus1[15] = 0x12345; // wider than 16 bits: five digits
    cs.ErrorStatus2[3] = 0xABCD;
    ASSERT_EQ(0, write_current_file(kCurrentFilePath, cs));
    EXPECT_EQ(kCurrentFileText, sandbox.read(kCurrentFilePath));
    EXPECT_EQ("kept", sandbox.read("/var/www/victim"));

    cs.SetDateTime = DateTime{2023, 12, 31, 23, 59, 58};
    capture_stdout([&] { print_current_state(cs); });
    EXPECT_EQ(sandbox.log_lines(), (Lines{" <INF> Set Date   : 2023/12/31 23:59:58\n",
                                          " <INF> Now Date   : 2024/03/05 07:08:09\n",
                                          " <INF> M/B  MAC   : B8.27.EB.01.02.0A\n",
                                          " <INF> VOIP MAC   : 00.00.00.00.00.00\n"}));
    sandbox.remove("/var/kelvatro/conf");
    EXPECT_EQ(-1, write_current_file(kCurrentFilePath, cs));
}

// The start of a pass also clears the state.
TEST_F(MainTest, FunctionFileHasTheTotSlotOnlyWithTheTotFunction) {
    current_state.SetDateTime = DateTime{2024, 1, 2, 3, 4, 5};
    const std::string counts = "ExpSlotNum=0\t; 拡張基板数\n\n";
    EXPECT_EQ(std::string(kFunctionHeaderText) + "IntSlotNum=2\t; 内部機能数\n" + counts,
              function_file_for(sandbox, 0x00000003));
    EXPECT_FALSE(sandbox.exists("/var/kelvatro/conf/Setup_05_01.ini"));
    EXPECT_EQ(std::string(kFunctionHeaderText) + "IntSlotNum=3\t; 内部機能数\n" + counts +
                  kTotSlotText,
              function_file_for(sandbox, 0x04000003));
    EXPECT_TRUE(sandbox.exists("/var/kelvatro/conf/Setup_05_01.ini"));
    EXPECT_EQ(0, current_state.SetDateTime.year);
}

} // namespace
